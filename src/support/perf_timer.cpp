// STUB: replaced by the implementation.
#include "support/perf_timer.h"
