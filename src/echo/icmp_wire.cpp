// STUB: replaced by the implementation.
#include "echo/icmp_wire.h"
