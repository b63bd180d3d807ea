// The Linux implementation of the platform seam.
#pragma once

#include "support/platform.h"

namespace quilvane {

Platform& linuxPlatform();

}  // namespace quilvane
