// Chooses the platform in use: the Linux one, or a replacement a test installed.
#include "support/platform.h"

#include "support/linux/linux_platform.h"

namespace quilvane {

namespace {
Platform* replacementPlatform = nullptr;
}

Platform& platform() { return replacementPlatform != nullptr ? *replacementPlatform : linuxPlatform(); }

void setPlatform(Platform* replacement) { replacementPlatform = replacement; }

}  // namespace quilvane
