// STUB: replaced by the implementation.
#include "cli/command_line.h"
