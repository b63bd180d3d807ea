// CPerfTimer: interval timer over the monotonic performance counter, less its own calibrated cost.
#pragma once

#include <cstdint>

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

}  // namespace quilvane
