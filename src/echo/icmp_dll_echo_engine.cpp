// STUB: replaced by the implementation.
#include "echo/icmp_dll_echo_engine.h"
