// The run's results: events go to every output that shows them (the text, JSON, tables, metrics).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report/events.h"

namespace quilvane {

// One way of showing results; each event it does not show is passed over.
class ResultRenderer {
  public:
    virtual ~ResultRenderer() = default;
    virtual void reply(const ReplyEvent&) {}
    virtual void timeout(const TimeoutEvent&) {}
    virtual void dontFragment(const DontFragmentEvent&) {}
    virtual void route(const RouteEvent&) {}
    virtual void errorLine(const ErrorLineEvent&) {}
    // The statistics so far of a single-host run (Ctrl-\), sent filled in.
    virtual void interimStatistics(const char*, const PingStatistics&) {}
    virtual void hostFinished(const HostFinishedEvent&) {}
    virtual void dispatchFinished(const DispatchFinishedEvent&) {}
    // Between two passes of a run over many hosts, where the text has its empty line.
    virtual void passSeparator() {}
    virtual void passFinished(const PassFinishedEvent&) {}
    virtual void runFinished(const RunFinishedEvent&) {}
};

// Hands each event to every renderer, in the order they were added, and knows which dispatch
// is running so that lines printed by the engines can be told apart by host.
class ResultEvents {
  public:
    // The specified text alone.
    ResultEvents();

    void setRenderers(std::vector<std::unique_ptr<ResultRenderer>> renderers);
    // Back to the specified text alone, with nothing running.
    void reset();
    // Whether events carry the real-time clock (a renderer shows time stamps).
    void setWallClockWanted(bool wanted) { wallClockWanted_ = wanted; }
    int64_t wallClockNs() const;

    // A dispatch begins: the host at index of the list, its request number in the run. Lines
    // printed until the next one belong to it, unless held for a dispatch of their own.
    void beginDispatch(size_t index, std::string_view host, uint64_t request);
    void endDispatch() { inDispatch_ = false; }
    // The context of what is printed now: of the dispatch whose lines are held, else the
    // running one.
    HostContext currentContext() const;
    // A dispatch whose lines are held in buffer (many requests in flight) keeps its context
    // there until it is released.
    void bindHeldLines(const std::string* buffer, const HostContext& context);
    void releaseHeldLines(const std::string* buffer);

    // Text printed while a result output owns standard output: to standard error, and each
    // line of it within a dispatch as an error line (unless noted as a notice).
    void divertedText(std::string_view text);
    // Text printed in its scope is no error line (a host header, a switch of engines).
    class Notice {
      public:
        Notice();
        ~Notice();
        Notice(const Notice&) = delete;
        Notice& operator=(const Notice&) = delete;
    };

    void reply(const ReplyEvent& event);
    void timeout(const TimeoutEvent& event);
    void dontFragment(const DontFragmentEvent& event);
    void route(const RouteEvent& event);
    void errorLine(const ErrorLineEvent& event);
    void interimStatistics(const char* heading, const PingStatistics& statistics);
    void hostFinished(const HostFinishedEvent& event);
    void dispatchFinished(size_t index, std::string_view host, uint64_t request,
                          const std::optional<PingStatistics>& statistics);
    void passSeparator();
    void passFinished(const PassFinishedEvent& event);
    void runFinished(const RunFinishedEvent& event);

  private:
    std::vector<std::unique_ptr<ResultRenderer>> renderers_;
    bool wallClockWanted_ = false;
    HostContext running_;
    bool inDispatch_ = false;
    struct HeldContext {
        HostContext context;
        bool bound = false;  // lines of a dispatch under way
    };
    std::unordered_map<const std::string*, HeldContext> held_;
    std::string partialLine_;
    int notices_ = 0;
};

// The run's one set of outputs.
ResultEvents& results();

}  // namespace quilvane
