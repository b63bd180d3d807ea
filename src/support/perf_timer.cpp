// CPerfTimer: interval timer over the monotonic performance counter, less its own calibrated cost.
#include "support/perf_timer.h"

#include "support/platform.h"

namespace quilvane {

namespace {

// Shared by every timer of the process: set by the first construction (start-up, one thread).
int64_t counterFrequency = 0;
int64_t calibratedOverhead = 0;  // the negated cost of an empty start-and-stop, 0 or less

}  // namespace

CPerfTimer::CPerfTimer(bool start) {
    if (counterFrequency == 0) {
        int64_t frequency = platform().performanceFrequency();
        // Without a usable counter the divisions below must stay defined.
        counterFrequency = frequency > 0 ? frequency : 1;
        BeginAccess();
        value_ = 0;
        EndAccess();
        calibratedOverhead = 0;
        Start(false);
        Stop();
        BeginAccess();
        calibratedOverhead = value_;
        EndAccess();
    }
    BeginAccess();
    value_ = 0;
    EndAccess();
    if (start) Start(false);
}

CPerfTimer::CPerfTimer(const CPerfTimer& other) {
    other.BeginAccess();
    BeginAccess();
    value_ = other.value_;
    EndAccess();
    other.EndAccess();
}

CPerfTimer& CPerfTimer::operator=(const CPerfTimer& other) {
    if (this == &other) return *this;
    other.BeginAccess();
    BeginAccess();
    value_ = other.value_;
    EndAccess();
    other.EndAccess();
    return *this;
}

void CPerfTimer::Start(bool reset) {
    int64_t now = platform().performanceCounter();
    BeginAccess();
    if (!reset && value_ < 0) {
        value_ += now;  // resume: the interval goes on from what it had reached
    } else {
        value_ = now;
    }
    EndAccess();
}

void CPerfTimer::Stop() {
    BeginAccess();
    if (value_ <= 0) {
        EndAccess();
        return;
    }
    value_ -= platform().performanceCounter();
    value_ = value_ < calibratedOverhead ? value_ - calibratedOverhead : 0;
    EndAccess();
}

long double CPerfTimer::ElapsedMs() const {
    CPerfTimer measured(*this);
    measured.Stop();
    return static_cast<long double>(-measured.value_) * 1000.0L /
           static_cast<long double>(counterFrequency);
}

void CPerfTimer::TakeOffNs(int64_t ns) {
    if (ns <= 0) return;
    BeginAccess();
    if (value_ < 0) {
        // value_ holds the negated interval; the result stays between it and zero.
        long double ticks = static_cast<long double>(ns) *
                            static_cast<long double>(counterFrequency) / 1'000'000'000.0L;
        value_ =
            ticks >= static_cast<long double>(-value_) ? 0 : value_ + static_cast<int64_t>(ticks);
    }
    EndAccess();
}

int64_t kernelWaitNs(int64_t realNowNs, std::optional<int64_t> receivedAtNs) {
    if (!receivedAtNs || *receivedAtNs >= realNowNs) return 0;
    return realNowNs - *receivedAtNs;
}

int64_t sendDelayNs(int64_t realAtStartNs, std::optional<int64_t> sentAtNs) {
    if (!sentAtNs || *sentAtNs <= realAtStartNs) return 0;
    return *sentAtNs - realAtStartNs;
}

bool CPerfTimer::HasHighResolution() const {
    return counterFrequency > 1;
}

double CPerfTimer::ResolutionMs() const {
    return 1000.0 / static_cast<double>(counterFrequency);
}

void CPerfTimer::ResetCalibrationForTest() {
    counterFrequency = 0;
    calibratedOverhead = 0;
}

}  // namespace quilvane
