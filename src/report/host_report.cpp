// STUB: replaced by the implementation.
#include "report/host_report.h"
