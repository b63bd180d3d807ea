// The specified text: reply, time-out, route and statistics lines, and the run's totals.
#pragma once

#include "report/result_events.h"

namespace quilvane {

class TextRenderer final : public ResultRenderer {
  public:
    void reply(const ReplyEvent& event) override;
    void timeout(const TimeoutEvent& event) override;
    void dontFragment(const DontFragmentEvent& event) override;
    void route(const RouteEvent& event) override;
    void interimStatistics(const char* heading, const PingStatistics& statistics) override;
    void hostFinished(const HostFinishedEvent& event) override;
    void passSeparator() override;
    void runFinished(const RunFinishedEvent& event) override;
};

}  // namespace quilvane
