// STUB: replaced by the implementation.
#include "hosts/host_list.h"
