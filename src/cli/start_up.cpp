// STUB: replaced by the implementation.
#include "cli/start_up.h"
