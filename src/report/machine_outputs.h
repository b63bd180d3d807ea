// The outputs for scripts and tools: JSON Lines, the per-host table, the answering addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "report/host_tally.h"
#include "report/json_line.h"
#include "report/result_events.h"
#include "support/spool.h"

namespace quilvane {

// What the per-host outputs know of the run beside the events.
struct RunHosts {
    const ResultTally* tally = nullptr;
    std::function<std::string(size_t index)> entry;  // the list entry at index
    FamilyChoice family = FamilyChoice::Any;
    bool resolveNames = false;  // -a: rows carry the name the address resolves to
};

// The record-route hops of an IPv4 option area, walked option by option by each one's length.
std::vector<std::string> recordedHops(const uint8_t* options, size_t length);

// One JSON object per line on standard output: every event, a summary per host, the run total.
class JsonRenderer final : public ResultRenderer {
  public:
    explicit JsonRenderer(RunHosts hosts) : hosts_(std::move(hosts)) {}

    void reply(const ReplyEvent& event) override;
    void timeout(const TimeoutEvent& event) override;
    void dontFragment(const DontFragmentEvent& event) override;
    void route(const RouteEvent& event) override;
    void errorLine(const ErrorLineEvent& event) override;
    void hostFinished(const HostFinishedEvent& event) override;
    void dispatchFinished(const DispatchFinishedEvent& event) override;
    void runFinished(const RunFinishedEvent& event) override;

  private:
    JsonLine echoLine(const char* type, const EchoEvent& echo);
    std::string time(int64_t epochNs);
    void summary(size_t index, const std::string& host, const HostSummary& summary);

    RunHosts hosts_;
    int64_t offsetSecond_ = INT64_MIN;  // the second whose offset and stamp are known
    int32_t offset_ = 0;
    std::string stamp_;
    std::unordered_set<size_t> summarised_;  // dispatches under way whose summary is out
};

// --summary: a fixed-column table of every host after the run's statistics.
class SummaryTable final : public ResultRenderer {
  public:
    explicit SummaryTable(RunHosts hosts) : hosts_(std::move(hosts)) {}

    void dispatchFinished(const DispatchFinishedEvent& event) override;
    void runFinished(const RunFinishedEvent& event) override;

  private:
    std::string row(const std::string& entry, const HostSummary& summary) const;

    RunHosts hosts_;
    Spool rows_;  // a single pass's rows until the statistics are out
};

// --alive: the addresses that answered at least once, one a line, in list order.
class AliveList final : public ResultRenderer {
  public:
    explicit AliveList(RunHosts hosts) : hosts_(std::move(hosts)) {}

    void dispatchFinished(const DispatchFinishedEvent& event) override;
    void runFinished(const RunFinishedEvent& event) override;
    bool anyAnswered() const { return anyAnswered_; }

  private:
    void answered(const std::string& entry);

    RunHosts hosts_;
    bool anyAnswered_ = false;
};

}  // namespace quilvane
