// STUB: replaced by the Linux platform implementation.
#include "support/linux/linux_platform.h"

#include <cstdlib>

namespace quilvane {

Platform& linuxPlatform() { std::abort(); }

}  // namespace quilvane
