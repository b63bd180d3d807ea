// STUB: replaced by the implementation.
#include "report/ping_statistics.h"
