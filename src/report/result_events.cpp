// The run's results: events go to every output that shows them (the text, JSON, tables, metrics).
#include "report/result_events.h"

#include <utility>

#include "report/text_renderer.h"
#include "support/output_sink.h"

namespace quilvane {

ResultEvents::ResultEvents() {
    renderers_.push_back(std::make_unique<TextRenderer>());
}

void ResultEvents::setRenderers(std::vector<std::unique_ptr<ResultRenderer>> renderers) {
    renderers_ = std::move(renderers);
}

void ResultEvents::reset() {
    renderers_.clear();
    renderers_.push_back(std::make_unique<TextRenderer>());
    wallClockWanted_ = false;
    running_ = HostContext{};
    inDispatch_ = false;
    held_.clear();
    partialLine_.clear();
}

int64_t ResultEvents::wallClockNs() const {
    return wallClockWanted_ ? platform().realTimeNs() : 0;
}

void ResultEvents::beginDispatch(size_t index, std::string_view host, uint64_t request) {
    running_.index = index;
    running_.host.assign(host);
    running_.request = request;
    inDispatch_ = true;
}

HostContext ResultEvents::currentContext() const {
    if (const std::string* buffer = heldOutputBuffer()) {
        auto found = held_.find(buffer);
        if (found != held_.end() && found->second.bound) return found->second.context;
    }
    return running_;
}

void ResultEvents::bindHeldLines(const std::string* buffer, const HostContext& context) {
    if (buffer == nullptr) return;
    HeldContext& entry = held_[buffer];
    entry.context = context;
    entry.bound = true;
}

void ResultEvents::releaseHeldLines(const std::string* buffer) {
    // The entry stays for the next dispatch whose lines the same buffer holds (the window reuses
    // its buffers), so binding one allocates nothing.
    if (buffer == nullptr) return;
    auto found = held_.find(buffer);
    if (found != held_.end()) found->second.bound = false;
}

ResultEvents::Notice::Notice() {
    ++results().notices_;
}

ResultEvents::Notice::~Notice() {
    --results().notices_;
}

void ResultEvents::divertedText(std::string_view text) {
    writeToStandardError(text);
    if (notices_ > 0) return;
    partialLine_.append(text);
    size_t end;
    while ((end = partialLine_.find('\n')) != std::string::npos) {
        std::string line = partialLine_.substr(0, end);
        partialLine_.erase(0, end + 1);
        auto found = held_.find(heldOutputBuffer());
        bool held = found != held_.end() && found->second.bound;
        if (line.empty() || (!inDispatch_ && !held)) continue;
        HostContext context = currentContext();
        errorLine(ErrorLineEvent{&context, wallClockNs(), line});
    }
}

void ResultEvents::reply(const ReplyEvent& event) {
    for (auto& renderer : renderers_) renderer->reply(event);
}

void ResultEvents::timeout(const TimeoutEvent& event) {
    for (auto& renderer : renderers_) renderer->timeout(event);
}

void ResultEvents::dontFragment(const DontFragmentEvent& event) {
    for (auto& renderer : renderers_) renderer->dontFragment(event);
}

void ResultEvents::route(const RouteEvent& event) {
    for (auto& renderer : renderers_) renderer->route(event);
}

void ResultEvents::errorLine(const ErrorLineEvent& event) {
    for (auto& renderer : renderers_) renderer->errorLine(event);
}

void ResultEvents::interimStatistics(const char* heading, const PingStatistics& statistics) {
    for (auto& renderer : renderers_) renderer->interimStatistics(heading, statistics);
}

void ResultEvents::hostFinished(const HostFinishedEvent& event) {
    for (auto& renderer : renderers_) renderer->hostFinished(event);
}

void ResultEvents::dispatchFinished(size_t index, std::string_view host, uint64_t request,
                                    const std::optional<PingStatistics>& statistics) {
    HostContext context{index, std::string(host), request};
    DispatchFinishedEvent event{&context, statistics};
    for (auto& renderer : renderers_) renderer->dispatchFinished(event);
}

void ResultEvents::passSeparator() {
    for (auto& renderer : renderers_) renderer->passSeparator();
}

void ResultEvents::passFinished(const PassFinishedEvent& event) {
    for (auto& renderer : renderers_) renderer->passFinished(event);
}

void ResultEvents::runFinished(const RunFinishedEvent& event) {
    for (auto& renderer : renderers_) renderer->runFinished(event);
}

ResultEvents& results() {
    static ResultEvents events;
    return events;
}

}  // namespace quilvane
