// Clocks, the calling thread, pauses that a stop request cuts short, and the terminal bell.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/console_control.h"
#include "support/linux/linux_platform.h"
#include "support/linux/monotonic.h"
#include "support/linux/system_call.h"

namespace quilvane {

using namespace linux_detail;

namespace {

// A stop request set without a signal (another thread) is still seen this often.
constexpr int64_t stopCheckNs = 50'000'000;

// A sleeping thread wakes some tens of microseconds after its timer on a virtual machine, however
// small the slack, which would stretch every 1 ms pause by several percent. The pause therefore
// sleeps until this long before its end and watches the clock for the rest.
constexpr int64_t wakeUpMarginNs = 50'000;

}  // namespace

int64_t LinuxPlatform::performanceCounter() {
    return monotonicNs();
}

uint32_t LinuxPlatform::tickCount() {
    return static_cast<uint32_t>(monotonicNs() / 1'000'000);
}

int64_t LinuxPlatform::calendarSeconds() {
    return static_cast<int64_t>(time(nullptr));
}

int64_t LinuxPlatform::realTimeNs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

LocalTime LinuxPlatform::localTime() {
    time_t now = time(nullptr);
    tm fields{};
    localtime_r(&now, &fields);
    return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                     fields.tm_hour,        fields.tm_min,     fields.tm_sec};
}

uint32_t LinuxPlatform::currentThreadId() {
    // Asked for at every request and every reply check, some of them inside the measured round
    // trip; a thread keeps its identifier for life, so the system call is made once per thread.
    thread_local const uint32_t identifier = static_cast<uint32_t>(gettid());
    return identifier;
}

void LinuxPlatform::sleep(uint32_t ms) {
    // An absolute deadline keeps the pause exact across wake-ups by signals.
    const int64_t deadline = monotonicNs() + int64_t{ms} * 1'000'000;
    const int64_t wakeUp = deadline - wakeUpMarginNs;
    for (;;) {
        if (stopRequested.load()) return;
        int64_t now = monotonicNs();
        if (now >= wakeUp) break;
        timespec until = timespecFromNs(std::min(wakeUp, now + stopCheckNs));
        int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (result != 0 && result != EINTR) return;
    }
    bool due = false;
    while (!due && !stopRequested.load()) due = monotonicNs() >= deadline;
}

void LinuxPlatform::beep(uint32_t, uint32_t) {
    // The bell goes to the controlling terminal only, so it never lands in redirected output or
    // the log; without a terminal there is no bell. Non-blocking: a stalled terminal is skipped.
    int terminal = open("/dev/tty", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal < 0) return;
    [[maybe_unused]] ssize_t written = retryOnInterrupt([&] { return write(terminal, "\a", 1); });
    close(terminal);
}

}  // namespace quilvane
