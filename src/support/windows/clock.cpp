// Clocks, the calling thread, pauses that a stop request cuts short, and the bell (Beep).
#include <windows.h>
#include <winsock2.h>

#include <algorithm>

#include "support/console_control.h"
#include "support/windows/windows_platform.h"

namespace quilvane {

namespace {

// A stop request is seen this often during a pause: Control-C is handled on a thread of its own
// and cannot wake a sleeping one.
constexpr uint32_t stopCheckMs = 10;

// FILETIME counts 100 ns from 1601; the seam counts from 1970.
constexpr int64_t fileTimeOf1970 = 116'444'736'000'000'000;

int64_t fileTimeValue(const FILETIME& time) {
    return static_cast<int64_t>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime);
}

}  // namespace

int64_t WindowsPlatform::performanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

uint32_t WindowsPlatform::tickCount() {
    return GetTickCount();
}

int64_t WindowsPlatform::calendarSeconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (fileTimeValue(now) - fileTimeOf1970) / 10'000'000;
}

int64_t WindowsPlatform::realTimeNs() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (fileTimeValue(now) - fileTimeOf1970) * 100;
}

LocalTime WindowsPlatform::localTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

uint32_t WindowsPlatform::currentThreadId() {
    return GetCurrentThreadId();
}

void WindowsPlatform::sleep(uint32_t ms) {
    const int64_t deadline = performanceCounter() + int64_t{ms} * frequency_ / 1000;
    for (;;) {
        if (stopRequested.load()) return;
        int64_t left = deadline - performanceCounter();
        if (left <= 0) return;
        int64_t leftMs = (left * 1000 + frequency_ - 1) / frequency_;
        Sleep(static_cast<DWORD>(std::min<int64_t>(leftMs, stopCheckMs)));
    }
}

void WindowsPlatform::beep(uint32_t frequencyHz, uint32_t durationMs) {
    Beep(frequencyHz, durationMs);
}

}  // namespace quilvane
