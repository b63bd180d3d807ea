// CPerfTimer: interval timer over the monotonic performance counter, less its own calibrated cost.
#pragma once

#include <cstdint>
#include <optional>

namespace quilvane {

class CPerfTimer {
  public:
    explicit CPerfTimer(bool start = false);
    CPerfTimer(const CPerfTimer& other);
    CPerfTimer& operator=(const CPerfTimer& other);
    virtual ~CPerfTimer() = default;

    void Start(bool reset = false);
    void Stop();
    long double ElapsedMs() const;
    // A stopped timer's interval less ns nanoseconds, never below zero: the end of the interval
    // moves back to when the kernel received the reply.
    void TakeOffNs(int64_t ns);
    bool HasHighResolution() const;
    double ResolutionMs() const;

    // Tests: forget the class-wide frequency and overhead so the next timer calibrates again.
    static void ResetCalibrationForTest();

  protected:
    virtual void BeginAccess() const {}
    virtual void EndAccess() const {}

  private:
    int64_t value_ = 0;  // >0 running since this reading; <=0 stopped with -value ticks measured
};

// How long a reply waited in the kernel before it was judged: the real-time clock read then
// (realNowNs) less the kernel's receive stamp, in that clock. 0 without a stamp or for a stamp
// later than the reading, so that a step of the real-time clock can never lengthen a round trip;
// a step forward is bounded by the measured interval when it is taken off.
int64_t kernelWaitNs(int64_t realNowNs, std::optional<int64_t> receivedAtNs);

// How long after the timer started the request left: its transmit stamp less the real-time clock
// read at the start. 0 without a stamp or for a stamp before the start (the clock stepped back).
int64_t sendDelayNs(int64_t realAtStartNs, std::optional<int64_t> sentAtNs);

}  // namespace quilvane
