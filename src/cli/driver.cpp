// Runs over hosts and sizes: the choice of run, the passes, the dispatch and the totals.
#include "cli/driver.h"

#include <memory>
#include <string>
#include <utility>

#include "echo/icmp_dll_echo_engine.h"
#include "echo/icmp_dll_echo_window.h"
#include "echo/raw_echo_engine.h"
#include "echo/raw_echo_window.h"
#include "echo/raw_socket_steps.h"
#include "report/lines.h"
#include "report/result_events.h"
#include "support/console_control.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/random.h"

namespace quilvane {

namespace {

// The switch to the echo service, which turns route recording off for the rest of the run.
void announceEchoService(int32_t& routes) {
    ResultEvents::Notice notice;
    printMessage("switching to ICMP dll\n");
    if (routes != 0) {
        routes = 0;
        printMessage("Route options disabled by ICMP dll\n");
    }
}

enum class RunKind { SingleSweep, SingleRandom, ManyFixed, ManySweep, ManyRandom };

bool isRandom(RunKind kind) {
    return kind == RunKind::SingleRandom || kind == RunKind::ManyRandom;
}
bool isSweep(RunKind kind) {
    return kind == RunKind::SingleSweep || kind == RunKind::ManySweep;
}
bool isMany(RunKind kind) {
    return kind == RunKind::ManyFixed || kind == RunKind::ManySweep || kind == RunKind::ManyRandom;
}

// One host, fixed size: the engine does the whole run, header and statistics included.
void runSingleHostByEngine(const std::string& host, const PingSettings& settings,
                           const RunOptions& options, RunState& run) {
    int32_t routes = settings.recordRoutes;
    results().beginDispatch(0, host, 1);
    HostOutcome outcome =
        pingWithFallback(host, EchoJob{settings, run.pingData, false, options.family},
                         options.useIcmpLibrary != 0, routes, run);
    results().endDispatch();
    results().dispatchFinished(0, host, 1, outcome.statistics);
    results().passFinished(PassFinishedEvent{1});
    results().runFinished(RunFinishedEvent{outcome.statistics.value_or(PingStatistics{}), false,
                                           settings.limitOutput != 0});
}

// The passes of every run the driver repeats itself.
class DriverRun final : private WindowedDispatches {
  public:
    DriverRun(RunKind kind, const PingSettings& settings, const RunOptions& options, RunState& run)
        : kind_(kind),
          settings_(settings),
          options_(options),
          run_(run),
          hosts_(run.hosts),
          dataSize_(settings.dataSize),
          routes_(settings.recordRoutes) {}

    void perform() {
        prepare();
        if (settings_.limitOutput == 0) printHeader();
        if (continuous_) {
            while (finishPass(runPass()) && betweenPasses()) {
            }
        } else {
            for (int64_t pass = 1; pass <= passes_; ++pass) {
                if (!finishPass(runPass()) || pass == passes_ || !betweenPasses()) break;
            }
        }
        if (total_.minimum == minimumStartValue) total_.minimum = 0.0;
        results().runFinished(RunFinishedEvent{total_, true, settings_.limitOutput != 0});
    }

  private:
    void prepare() {
        if (isRandom(kind_)) {
            if (!run_.pingData.empty()) {
                printMessage("Unable to ping with specified data. Using random data.\n");
                run_.pingData.clear();
            }
            seedRandom(static_cast<uint32_t>(platform().calendarSeconds()));
        }
        // Without -n or -c a driver-run loop makes one pass; a single-host random run always
        // counts its passes by count.
        bool counted = kind_ == RunKind::SingleRandom || options_.countGiven != 0;
        passes_ = counted ? settings_.count : 1;
        continuous_ = settings_.continuous != 0;
        if (!isMany(kind_)) singleHost_ = hosts_.entry(0);
    }

    void printHeader() {
        switch (kind_) {
            case RunKind::SingleSweep:
                printMessage("Pinging host with data sweep (%d to %d) every %d ms:\n\n",
                             options_.sweepFirst, options_.sweepLast, settings_.intervalMs);
                break;
            case RunKind::SingleRandom:
                printMessage("Pinging host with random size (%d to %d) and data every %d ms:\n\n",
                             options_.randomMin, options_.randomMax, settings_.intervalMs);
                break;
            case RunKind::ManyFixed:
                printMessage("Pinging multiple hosts with %d bytes of data every %d ms:\n\n",
                             settings_.dataSize, settings_.intervalMs);
                break;
            case RunKind::ManySweep:
                printMessage("Pinging multiple hosts with data sweep (%d to %d) every %d ms:\n\n",
                             options_.sweepFirst, options_.sweepLast, settings_.intervalMs);
                break;
            case RunKind::ManyRandom:
                printMessage(
                    "Pinging multiple hosts with random size (%d to %d) and data every %d ms:\n\n",
                    options_.randomMin, options_.randomMax, settings_.intervalMs);
                break;
        }
        if (isMany(kind_))
            printResolvedHostList(hosts_, settings_.resolveNames != 0, options_.family);
    }

    // Each step below looks at the stop request first and reports whether the run goes on.
    bool dispatch(size_t index, const std::string& host) {
        if (stopRequested.load()) return false;
        results().beginDispatch(index, host, round_);
        HostOutcome outcome = dispatchHost(host);
        results().endDispatch();
        results().dispatchFinished(index, host, round_, outcome.statistics);
        return true;
    }

    bool finishPass(bool goOn) {
        results().passFinished(PassFinishedEvent{++passesDone_});
        return goOn;
    }

    bool wait() {
        if (stopRequested.load()) return false;
        platform().sleep(static_cast<uint32_t>(settings_.intervalMs));
        return true;
    }

    bool separator() {
        if (stopRequested.load()) return false;
        results().passSeparator();
        return true;
    }

    bool dispatchTargets() {
        ++round_;
        if (!isMany(kind_)) return dispatch(0, singleHost_);
        if (EchoWindow* window = openWindow()) {
            bool goOn = window->runPass(*this);
            results().endDispatch();
            return goOn;
        }
        for (size_t i = 0; i < hosts_.size(); ++i) {
            if (!dispatch(i, hosts_.entry(i))) return false;
        }
        return true;
    }

    bool sweepPass() {
        for (int32_t size = options_.sweepFirst; size <= options_.sweepLast; ++size) {
            if (size != options_.sweepFirst && !wait()) return false;
            dataSize_ = size;
            if (!dispatchTargets()) return false;
        }
        return true;
    }

    bool randomPass() {
        drawRandomSizeAndData();
        bool goOn = dispatchTargets();
        run_.pingData.clear();
        return goOn;
    }

    bool runPass() {
        if (isSweep(kind_)) return sweepPass();
        if (isRandom(kind_)) return randomPass();
        return dispatchTargets();
    }

    bool betweenPasses() {
        switch (kind_) {
            case RunKind::SingleSweep:
                return wait() && separator();
            case RunKind::ManyFixed:
            case RunKind::ManySweep:
                return separator() && wait();
            case RunKind::SingleRandom:
            case RunKind::ManyRandom:
                return wait();
        }
        return false;
    }

    // A size from randomMin up to randomMax - 1, and as many random non-zero bytes less one.
    void drawRandomSizeAndData() {
        int32_t span = options_.randomMax - options_.randomMin;
        int32_t size = options_.randomMin + nextRandom() % span;
        dataSize_ = size;
        std::string data(static_cast<size_t>(size), '\0');
        for (char& byte : data) {
            auto value = static_cast<unsigned char>(nextRandom() & 0xFF);
            byte = static_cast<char>(value == 0 ? 1 : value);
        }
        data.pop_back();  // the last byte ends the text
        run_.pingData = std::move(data);
    }

    // The job of the next dispatch: one echo of this pass's size, with the next reply number.
    EchoJob nextJob() {
        EchoJob job{settings_, run_.pingData, true, options_.family};
        job.settings.continuous = 0;
        job.settings.count = 1;
        job.settings.dataSize = dataSize_;
        job.settings.recordRoutes = routes_;
        job.settings.replyNumber = run_.replyCounter;
        if (isMany(kind_)) job.retries = options_.retries;
        // Wraps instead of overflowing in a continuous run that never ends.
        run_.replyCounter = static_cast<int32_t>(static_cast<uint32_t>(run_.replyCounter) + 1u);
        return job;
    }

    // One echo for one host; what the host sent is merged into the run total. The fallback is
    // not remembered: the next dispatch tries the raw socket again.
    HostOutcome dispatchHost(const std::string& host) {
        HostOutcome outcome =
            pingWithFallback(host, nextJob(), options_.useIcmpLibrary != 0, routes_, run_);
        if (outcome.statistics) mergeStatistics(total_, *outcome.statistics);
        return outcome;
    }

    // With -p over many hosts, the socket or handle all passes share: the raw socket, or the echo
    // service when it was chosen or the raw socket is refused. None when requests go one by one
    // (also when neither can be opened: then each dispatch says why, as usual).
    EchoWindow* openWindow() {
        if (windowTried_ || options_.inFlight <= 1) return window_.get();
        windowTried_ = true;
        openWindowOnce();
        if (window_) window_->paceWith(options_.rate, settings_.timeoutMs);
        return window_.get();
    }

    void openWindowOnce() {
        auto inFlight = static_cast<uint32_t>(options_.inFlight);
        if (options_.useIcmpLibrary != 0) {
            window_ = openEchoServiceWindow(inFlight, std::string());
            return;
        }
        auto raw = std::make_unique<RawEchoWindow>(run_.echoSession, inFlight);
        std::optional<SystemError> refused = raw->open(settings_);
        if (!refused) {
            window_ = std::move(raw);
        } else if (refused->number == wsa::accessDenied) {
            run_.echoSession.noteRawSocketRefused();
            std::string refusal;
            {
                HeldLines held(refusal);
                ReportSocketError("socket()", *refused);
            }
            window_ = openEchoServiceWindow(inFlight, refusal);
        }
    }

    // Every host after a refused raw socket repeats what the one-by-one run prints for it.
    std::unique_ptr<EchoWindow> openEchoServiceWindow(uint32_t inFlight,
                                                      const std::string& refusal) {
        auto service = std::make_unique<IcmpDllEchoWindow>(run_.echoSession, inFlight);
        if (!service->open()) return nullptr;
        if (!refusal.empty()) {
            service->announceEachHost([this, refusal](EchoJob& job) {
                printMessage("%s", refusal.c_str());
                announceEchoService(routes_);
                job.settings.recordRoutes = 0;
            });
        }
        return service;
    }

    size_t count() const override { return hosts_.size(); }

    bool begin(size_t index, std::string& host, EchoJob& job) override {
        if (stopRequested.load()) return false;
        host = hosts_.entry(index);
        job = nextJob();
        results().beginDispatch(index, host, round_);
        return true;
    }

    HostOutcome pingThroughEchoService(const std::string& host, const EchoJob& job) override {
        return fallBackToEchoService(host, job, routes_, run_);
    }

    void finished(size_t index, const HostOutcome& outcome) override {
        run_.apply(outcome);
        if (outcome.statistics) mergeStatistics(total_, *outcome.statistics);
        results().dispatchFinished(index, hosts_.entry(index), round_, outcome.statistics);
    }

    RunKind kind_;
    const PingSettings& settings_;
    const RunOptions& options_;
    RunState& run_;
    const HostList& hosts_;
    int32_t dataSize_;  // the size of the current pass or sweep step
    int32_t routes_;    // recordRoutes, until a fallback turns route recording off
    PingStatistics total_;
    std::unique_ptr<EchoWindow> window_;
    bool windowTried_ = false;
    std::string singleHost_;
    int64_t passes_ = 0;
    bool continuous_ = false;
    uint64_t round_ = 0;  // how often every target has been dispatched, this time included
    uint64_t passesDone_ = 0;
};

}  // namespace

HostOutcome pingWithFallback(const std::string& host, EchoJob job, bool useEchoService,
                             int32_t& routes, RunState& run) {
    if (!useEchoService) {
        HostOutcome raw = RawEchoEngine(run.echoSession, run.rawTimer).PingHost(host, job);
        run.apply(raw);
        if (raw.result != EngineResult::RawAccessDenied) return raw;
        return fallBackToEchoService(host, job, routes, run);
    }
    HostOutcome service = IcmpDllEchoEngine(run.echoSession, run.icmpDllTimer).PingHost(host, job);
    run.apply(service);
    return service;
}

HostOutcome fallBackToEchoService(const std::string& host, EchoJob job, int32_t& routes,
                                  RunState& run) {
    run.echoSession.noteRawSocketRefused();
    announceEchoService(routes);
    job.settings.recordRoutes = 0;
    HostOutcome service = IcmpDllEchoEngine(run.echoSession, run.icmpDllTimer).PingHost(host, job);
    run.apply(service);
    return service;
}

void performRun(const PingSettings& settings, const RunOptions& options, RunState& run) {
    const HostList& hosts = run.hosts;
    if (hosts.empty()) {
        printMessage("No host specified\n");
        // Nothing could be pinged: a script must not read this as success.
        run.lastStatus = exitCode(ExitStatus::NotPinged);
        return;
    }
    bool single = hosts.size() == 1 && !hosts.hostFileGiven;
    RunKind kind;
    if (options.sweepEnabled != 0) {
        kind = single ? RunKind::SingleSweep : RunKind::ManySweep;
    } else if (options.randomEnabled != 0) {
        kind = single ? RunKind::SingleRandom : RunKind::ManyRandom;
    } else if (single) {
        runSingleHostByEngine(hosts.entry(0), settings, options, run);
        return;
    } else {
        kind = RunKind::ManyFixed;
    }
    DriverRun(kind, settings, options, run).perform();
}

}  // namespace quilvane
