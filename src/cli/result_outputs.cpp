// The outputs a run's options ask for: the specified text, or JSON, the table, the list, metrics.
#include "cli/result_outputs.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "report/machine_outputs.h"
#include "report/metrics_file.h"
#include "report/result_events.h"
#include "report/text_renderer.h"
#include "support/output_sink.h"

namespace quilvane {

namespace {

void divertToResults(std::string_view text) {
    results().divertedText(text);
}

}  // namespace

void divertEarlyForResultOutputs(int argc, char** argv) {
    // A lone argument is a host, whatever it looks like.
    for (int i = 1; argc > 2 && i < argc; ++i) {
        std::string_view argument(argv[i]);
        if (argument == "--json" || argument == "--alive") divertMessages(divertToResults);
    }
}

bool everyHostOnce(const PingSettings& settings, const RunOptions& options, const HostList& hosts) {
    bool many = hosts.size() > 1 || hosts.hostFileGiven;
    bool onePass = options.countGiven == 0 || (settings.count == 1 && settings.continuous == 0);
    return many && onePass && options.sweepEnabled == 0;
}

void ResultOutputs::configure(const PingSettings& settings, const RunOptions& options,
                              const RunState& run) {
    if (!options.json && !options.alive && !options.summary && options.metricsPath.empty()) return;
    const HostList& hosts = run.hosts;
    bool once = everyHostOnce(settings, options, hosts) && options.metricsPath.empty();
    auto tally = std::make_unique<ResultTally>(hosts.size(), once);
    RunHosts runHosts{tally.get(), [&hosts](size_t index) { return hosts.entry(index); },
                      options.family, settings.resolveNames != 0};

    std::vector<std::unique_ptr<ResultRenderer>> renderers;
    renderers.push_back(std::move(tally));
    if (options.json) {
        renderers.push_back(std::make_unique<JsonRenderer>(runHosts));
    } else if (options.alive) {
        auto alive = std::make_unique<AliveList>(runHosts);
        alive_ = alive.get();
        renderers.push_back(std::move(alive));
    } else {
        renderers.push_back(std::make_unique<TextRenderer>());
        if (options.summary) renderers.push_back(std::make_unique<SummaryTable>(runHosts));
    }
    if (!options.metricsPath.empty()) {
        renderers.push_back(std::make_unique<MetricsFile>(runHosts, options.metricsPath));
    }
    results().setRenderers(std::move(renderers));
    results().setWallClockWanted(options.json);
    // Standard output holds the results alone; everything else goes to standard error.
    if (options.json || options.alive) divertMessages(divertToResults);
}

void ResultOutputs::finish(RunState& run) const {
    if (alive_ != nullptr && !run.hosts.empty()) run.lastStatus = alive_->anyAnswered() ? 0 : 1;
}

}  // namespace quilvane
