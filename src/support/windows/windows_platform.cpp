// The Windows platform: the socket layer's start-up and release, and the counter's frequency.
#include "support/windows/windows_platform.h"

namespace quilvane {

WindowsPlatform::WindowsPlatform() {
    LARGE_INTEGER frequency;
    // Never fails from Windows XP on; the timers still divide by at least 1.
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
        frequency_ = frequency.QuadPart;
    }
}

bool WindowsPlatform::startSockets() {
    if (socketsStarted_) return true;
    WSADATA data;
    socketsStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return socketsStarted_;
}

void WindowsPlatform::stopSockets() {
    if (socketsStarted_) WSACleanup();
    socketsStarted_ = false;
}

int64_t WindowsPlatform::performanceFrequency() {
    return frequency_;
}

Platform& windowsPlatform() {
    static WindowsPlatform instance;
    return instance;
}

Platform& systemPlatform() {
    return windowsPlatform();
}

}  // namespace quilvane
