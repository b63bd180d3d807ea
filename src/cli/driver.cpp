// STUB: replaced by the implementation.
#include "cli/driver.h"
