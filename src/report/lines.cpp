// STUB: replaced by the implementation.
#include "report/lines.h"
