// Chooses the platform in use: the operating system's, or a replacement a test installed.
#include "support/platform.h"

namespace quilvane {

namespace {
// Null until first use, and again after a test removed its replacement.
Platform* activePlatform = nullptr;
}  // namespace

Platform& platform() {
    // Asked for several times per echo: the system's platform is looked up once, not at every
    // call.
    if (activePlatform == nullptr) activePlatform = &systemPlatform();
    return *activePlatform;
}

void setPlatform(Platform* replacement) {
    activePlatform = replacement;
}

}  // namespace quilvane
