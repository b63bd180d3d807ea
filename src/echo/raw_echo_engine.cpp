// STUB: replaced by the implementation.
#include "echo/raw_echo_engine.h"
