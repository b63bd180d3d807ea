// --metrics: the run's results as metrics text, rewritten whole after every pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/machine_outputs.h"

namespace quilvane {

// The upper bounds of the round-trip buckets, in seconds (+Inf comes after them).
constexpr std::array<double, 14> metricsBucketBounds = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};

class MetricsFile final : public ResultRenderer {
  public:
    MetricsFile(RunHosts hosts, std::string path);

    void reply(const ReplyEvent& event) override;
    void dispatchFinished(const DispatchFinishedEvent& event) override;
    void passFinished(const PassFinishedEvent& event) override;
    void runFinished(const RunFinishedEvent& event) override;

    // The whole text as it would be written now.
    std::string text() const;

  private:
    // What the metrics add to a host's tally.
    struct HostMetrics {
        std::array<uint32_t, metricsBucketBounds.size() + 1> buckets{};  // not cumulative
        float lastRttMs = -1;                                            // none yet
        bool up = false;  // the host's latest dispatch was answered
    };

    void write() const;
    template <typename Emit>
    void emit(Emit out) const;

    RunHosts hosts_;
    std::string path_;
    std::vector<HostMetrics> metrics_;
    uint64_t passes_ = 0;
};

// A label value as the text format wants it: \, " and line ends escaped, other control bytes and
// bytes that are not UTF-8 as "?".
std::string metricsLabelValue(std::string_view value);

}  // namespace quilvane
