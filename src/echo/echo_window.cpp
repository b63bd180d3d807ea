// Many echo requests in flight, with the lines of a one-by-one run: what both engines share.
#include "echo/echo_window.h"

#include <algorithm>

#include "support/console_control.h"
#include "support/output_sink.h"

namespace quilvane {

namespace {

// The longest wait when nothing is due: a stop request is seen at least this often.
constexpr int64_t idleWaitNs = 100'000'000;
// Released lines wait for more while the window is busy, up to this much text; before any longer
// wait they are written, so a line is never held back while nothing happens.
constexpr size_t releaseBlockBytes = 64 * 1024;
constexpr int64_t longWaitNs = 1'000'000;
// An engine that reads answers late wakes at most this often while busy; the requests due before
// its next wake-up leave with those due now. A late wake-up still loses no pace: the pace makes up
// several intervals of it.
constexpr int64_t calmWakeNs = 200'000;

}  // namespace

HeldLines::HeldLines(std::string& held) {
    holdOutput(&held);
}

HeldLines::~HeldLines() {
    holdOutput(nullptr);
}

void Flight::finish() {
    outcome = {EngineResult::Pinged, report->status(), report->finish(destinationText, 1)};
    done = true;
}

EchoWindow::EchoWindow(uint32_t window)
    : window_(std::max<uint32_t>(window, 1)),
      // Each silent host holds back the lines of those after it for its time-out: with four times
      // the window, the window still fills when only one host in four is silent.
      span_(4 * static_cast<size_t>(window_) + 64),
      bySequence_(size_t{UINT16_MAX} + 1, nullptr) {}

int64_t EchoWindow::nowNs() const {
    long double ticks = static_cast<long double>(platform().performanceCounter());
    long double frequency = static_cast<long double>(platform().performanceFrequency());
    return static_cast<int64_t>(ticks * 1'000'000'000.0L / (frequency > 0 ? frequency : 1));
}

// A try waiting to be sent again keeps its place in the window.
bool EchoWindow::hasRoom() const {
    return awaitedCount_ + resend_.size() < window_ && unwritten_.size() < span_;
}

bool EchoWindow::runPass(WindowedDispatches& dispatches) {
    next_ = 0;
    bool stopped = false;
    if (!pace_) pace_.emplace(rateCap_, timeoutNs_, nowNs());
    // The requests due before an engine that reads late wakes again leave now.
    const bool late = readsLate();
    const int64_t aheadNs = late ? calmWakeNs : 0;
    for (;;) {
        int64_t now = nowNs();
        pace_->advance(now);
        auto maySend = [&] {
            return now + aheadNs >= pace_->nextSendNs() &&
                   (!resend_.empty() || (!stopped && next_ < dispatches.count() && hasRoom()));
        };
        // Tries sent again go first: the lines of the dispatches after them wait for theirs.
        // Requests the system refused at once gave their place in the pace back, so more may go.
        do {
            while (maySend()) sendNext(dispatches, stopped);
            sendsDone();
        } while (maySend());
        // A second Ctrl-C ends every wait at once, as it ends a single one.
        expire(waitsCutShort() ? INT64_MAX : now);
        if (stopRequested || waitsCutShort()) dropResends();
        releaseFinished(dispatches);
        bool mayBegin = !stopped && next_ < dispatches.count();
        if (!mayBegin && unwritten_.empty()) {
            // What is left in the queue of waiting requests is stale: every dispatch is written.
            waiting_.clear();
            writeReleased();
            return !stopped;
        }
        int64_t waitNs = nextWakeUp(now, mayBegin) - now;
        if (waitNs >= longWaitNs || released_.size() >= releaseBlockBytes) {
            writeReleased();
        }
        waitForAnswers(now, waitNs, late);
    }
}

// An engine that reads late wakes at most once a while as long as something happens (a request
// left, an answer came, a time was up), and sleeps through what falls due meanwhile; once all is
// quiet it waits for the first answer again. Other engines wake for each answer.
void EchoWindow::waitForAnswers(int64_t wokeNs, int64_t waitNs, bool late) {
    bool busy = events_ != eventsAtLastWait_;
    eventsAtLastWait_ = events_;
    if (!late) {
        collect(waitNs);
        return;
    }
    int64_t calmLeftNs = std::max<int64_t>(wokeNs + calmWakeNs - nowNs(), 0);
    if (busy) {
        collectAfter(calmLeftNs);
    } else if (waitNs < longWaitNs) {
        collectAfter(std::max(waitNs, calmLeftNs));
    } else {
        collect(waitNs);
    }
}

void EchoWindow::sendNext(WindowedDispatches& dispatches, bool& stopped) {
    if (resend_.empty()) {
        if (!beginNext(dispatches)) stopped = true;
        return;
    }
    Flight& flight = *resend_.front();
    resend_.pop_front();
    if (stopRequested || waitsCutShort()) {
        timeOut(flight);
    } else {
        sendAgain(flight);
    }
    retireIfDone(flight);
}

void EchoWindow::sendLater(Flight& flight) {
    pace_->refused(nowNs());
    resend_.push_back(&flight);
}

// After Ctrl-C nothing more is sent: a try waiting to go again ends with its time-out.
void EchoWindow::dropResends() {
    while (!resend_.empty()) {
        Flight& flight = *resend_.front();
        resend_.pop_front();
        timeOut(flight);
        retireIfDone(flight);
    }
}

int64_t EchoWindow::nextWakeUp(int64_t now, bool mayBegin) const {
    int64_t wakeUp = now + idleWaitNs;
    if (!waiting_.empty()) wakeUp = std::min(wakeUp, waiting_.front().deadlineNs);
    if (!resend_.empty() || (mayBegin && hasRoom())) {
        wakeUp = std::min(wakeUp, pace_->nextSendNs());
    }
    return std::max(wakeUp, now);
}

// A flight of an earlier dispatch, cleared, keeps the room its lines took.
std::unique_ptr<Flight> EchoWindow::newFlight() {
    if (spareFlights_.empty()) return std::make_unique<Flight>();
    std::unique_ptr<Flight> flight = std::move(spareFlights_.back());
    spareFlights_.pop_back();
    std::string held = std::move(flight->held);
    held.clear();
    *flight = Flight();
    flight->held = std::move(held);
    return flight;
}

bool EchoWindow::beginNext(WindowedDispatches& dispatches) {
    std::unique_ptr<Flight> flight = newFlight();
    std::string host;
    if (!dispatches.begin(next_, host, flight->job)) {
        spareFlights_.push_back(std::move(flight));
        return false;
    }
    flight->index = next_++;
    flight->triesLeft = flight->job.retries;
    Flight& started = *flight;
    unwritten_.push_back(Unwritten{started.index, std::move(flight), spareText(), {}});
    start(started, dispatches, host);
    retireIfDone(started);
    return true;
}

void EchoWindow::awaitAnswer(Flight& flight) {
    auto timeoutMs = static_cast<uint32_t>(flight.job.settings.timeoutMs);
    int64_t now = nowNs();
    // Tries sent again go to hosts that were silent: they would read as loss.
    flight.paceTicket = pace_->sent(now, flight.triesLeft == flight.job.retries);
    ++events_;
    flight.waitSerial = nextWaitSerial_++;
    waiting_.push_back(Awaited{&flight, flight.waitSerial, now + int64_t{timeoutMs} * 1'000'000});
    Flight*& place = bySequence_[flight.sequence];
    if (place == nullptr) ++awaitedCount_;
    place = &flight;
}

Flight* EchoWindow::awaiting(uint16_t sequence) {
    return bySequence_[sequence];
}

void EchoWindow::answered(Flight& flight) {
    int64_t now = nowNs();
    pace_->answered(flight.paceTicket, now - flight.kernelWaitNs - flight.sentAtNs);
    ++events_;
    forget(flight);
    retireIfDone(flight);
}

void EchoWindow::withdraw(Flight& flight) {
    pace_->unsent(flight.paceTicket);
    forget(flight);
    // Its entry in the queue of waiting requests goes stale.
    flight.waitSerial = 0;
}

void EchoWindow::forget(Flight& flight) {
    Flight*& place = bySequence_[flight.sequence];
    if (place != &flight) return;
    place = nullptr;
    --awaitedCount_;
}

void EchoWindow::retireIfDone(Flight& flight) {
    if (!flight.done) return;
    forget(flight);
    Unwritten& entry = unwritten_[flight.index - unwritten_.front().index];
    // The flight keeps the entry's empty buffer for the lines of its next dispatch.
    std::swap(entry.held, flight.held);
    entry.outcome = std::move(flight.outcome);
    spareFlights_.push_back(std::move(entry.flight));
}

void EchoWindow::expire(int64_t now) {
    while (!waiting_.empty()) {
        Awaited awaited = waiting_.front();
        if (!awaited.current()) {
            waiting_.pop_front();
            continue;
        }
        if (awaited.deadlineNs > now) return;
        waiting_.pop_front();
        Flight& flight = *awaited.flight;
        pace_->timedOut(flight.paceTicket);
        ++events_;
        forget(flight);
        // Without an answer, and with tries left, the request goes again; after an ICMP error,
        // or once a stop was asked for, the time-out stands.
        if (flight.triesLeft > 0 && !flight.errorSeen && !stopRequested && !waitsCutShort()) {
            --flight.triesLeft;
            flight.report->countResent();
            resend_.push_back(&flight);
            continue;
        }
        timeOut(flight);
        retireIfDone(flight);
    }
}

void EchoWindow::releaseFinished(WindowedDispatches& dispatches) {
    while (!unwritten_.empty() && !unwritten_.front().flight) {
        Unwritten entry = std::move(unwritten_.front());
        unwritten_.pop_front();
        released_ += entry.held;
        {
            // What the run prints as a dispatch ends follows that dispatch's lines.
            HeldLines held(released_);
            dispatches.finished(entry.index, entry.outcome);
        }
        entry.held.clear();
        spareTexts_.push_back(std::move(entry.held));
    }
}

std::string EchoWindow::spareText() {
    if (spareTexts_.empty()) return {};
    std::string text = std::move(spareTexts_.back());
    spareTexts_.pop_back();
    return text;
}

void EchoWindow::writeReleased() {
    if (!released_.empty()) releaseOutput(released_);
    released_.clear();
}

}  // namespace quilvane
