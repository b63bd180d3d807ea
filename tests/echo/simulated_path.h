// A path between the program and many hosts, simulated on a clock of its own, and a windowed sweep
// over it paced by a PaceController: links that queue, policers that drop, random loss, silence.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <random>
#include <vector>

#include "echo/pace_controller.h"

namespace quilvane::testing {

struct SimulatedPath {
    int64_t baseRoundTripNs = 60'000;
    // A link in the requests' way that carries linkRate requests a second and queues up to
    // queueLimitNs (a token bucket filter); 0: no such link.
    double linkRate = 0;
    int64_t queueLimitNs = 20'000'000;
    // A policer at the hosts that drops requests beyond policerRate a second after a burst.
    double policerRate = 0;
    double policerBurst = 0;
    double lossEachWay = 0;  // the share of packets dropped at random, each way
    // Each answer comes up to this much later, at random: a busy machine's scheduling.
    int64_t jitterNs = 0;
    // Which of the swept addresses answer (by index).
    std::function<bool(uint32_t)> answers = [](uint32_t index) { return index % 4 != 3; };

    // Builders, as each case of a table reads best.
    SimulatedPath& slowLink(double requestsPerSecond) {
        linkRate = requestsPerSecond;
        return *this;
    }
    SimulatedPath& policer(double rate, double burst) {
        policerRate = rate;
        policerBurst = burst;
        return *this;
    }
    SimulatedPath& randomLoss(double share) {
        lossEachWay = share;
        return *this;
    }
    SimulatedPath& jitter(int64_t ns) {
        jitterNs = ns;
        return *this;
    }
    SimulatedPath& roundTrip(int64_t ns) {
        baseRoundTripNs = ns;
        return *this;
    }
    // Every other /24 is silent as well.
    SimulatedPath& sparse() {
        answers = [previous = answers](uint32_t index) {
            return (index / 256) % 2 == 0 && previous(index);
        };
        return *this;
    }
    // From address first on, only one address in every few answers (those whose index is a
    // multiple of every), where before three in four did: fewer hosts are up there, whatever the
    // pace.
    SimulatedPath& thinnerFrom(uint32_t first, uint32_t every) {
        answers = [previous = answers, first, every](uint32_t index) {
            return index < first ? previous(index) : index % every == 0;
        };
        return *this;
    }
    // Addresses first to first + count - 1 are silent as well.
    SimulatedPath& darkStretch(uint32_t first, uint32_t count) {
        answers = [previous = answers, first, count](uint32_t index) {
            return (index < first || index >= first + count) && previous(index);
        };
        return *this;
    }
};

struct SweepRun {
    uint32_t hosts = 65'534;
    uint32_t window = 4096;
    int64_t timeoutNs = 200'000'000;
    double rateCap = 0;
    // The sender's own limit: the time one request takes to build and send.
    int64_t sendCostNs = 7'000;
    // A busy machine: now and then the sender is not scheduled for a while.
    double stallChance = 0;  // per request sent
    int64_t stallNs = 0;
    // 0: the sender wakes for every request and every answer. Otherwise it wakes about this often
    // while busy, takes the answers that came meanwhile (their stamps give the true round trips)
    // and sends at once what falls due before its next wake-up.
    int64_t wakeEveryNs = 0;
    uint32_t seed = 1;
};

struct SweepOutcome {
    double seconds = 0;
    uint32_t answering = 0;  // addresses that answer on this path
    uint32_t found = 0;
    uint32_t mostInAnySecond = 0;
    double shareFound() const { return answering == 0 ? 1.0 : double(found) / answering; }
};

// Sends every request when the pace and the window let it, and feeds the controller with what
// the path does to it, in the order of the simulated clock.
inline SweepOutcome simulateSweep(const SimulatedPath& path, const SweepRun& run) {
    struct Event {
        int64_t atNs;
        bool answer;
        uint64_t ticket;
        int64_t sentAtNs;
        bool operator>(const Event& other) const { return atNs > other.atNs; }
    };
    std::mt19937 random(run.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    const int64_t startNs = 1'000'000'000;
    int64_t nowNs = startNs;
    PaceController pace(run.rateCap, run.timeoutNs, nowNs);
    SweepOutcome outcome;
    uint32_t next = 0;
    uint32_t inFlight = 0;
    int64_t linkFreeNs = 0;
    double tokens = path.policerBurst;
    int64_t tokensAtNs = 0;
    int64_t senderFreeNs = nowNs;
    std::deque<int64_t> lastSecond;

    // The fate of one request sent now: when its answer comes back, or none.
    auto travel = [&](uint32_t index) -> std::optional<int64_t> {
        int64_t atNs = nowNs;
        if (path.linkRate > 0) {
            auto serviceNs = static_cast<int64_t>(1e9 / path.linkRate);
            int64_t leavesNs = std::max(atNs, linkFreeNs) + serviceNs;
            if (leavesNs - atNs > path.queueLimitNs) return std::nullopt;
            linkFreeNs = leavesNs;
            atNs = leavesNs;
        }
        atNs += path.baseRoundTripNs / 2;
        if (path.policerRate > 0) {
            tokens =
                std::min(path.policerBurst, tokens + (atNs - tokensAtNs) * path.policerRate / 1e9);
            tokensAtNs = atNs;
            if (tokens < 1) return std::nullopt;
            tokens -= 1;
        }
        if (unit(random) < path.lossEachWay || !path.answers(index)) return std::nullopt;
        if (unit(random) < path.lossEachWay) return std::nullopt;
        auto lateNs = static_cast<int64_t>(unit(random) * static_cast<double>(path.jitterNs));
        return atNs + path.baseRoundTripNs / 2 + lateNs;
    };

    auto sendNext = [&] {
        uint64_t ticket = pace.sent(nowNs);
        ++inFlight;
        lastSecond.push_back(nowNs);
        while (lastSecond.front() <= nowNs - 1'000'000'000) lastSecond.pop_front();
        outcome.mostInAnySecond =
            std::max(outcome.mostInAnySecond, static_cast<uint32_t>(lastSecond.size()));
        std::optional<int64_t> answerNs = travel(next++);
        if (answerNs && *answerNs - nowNs < run.timeoutNs) {
            events.push({*answerNs, true, ticket, nowNs});
        } else {
            events.push({nowNs + run.timeoutNs, false, ticket, nowNs});
        }
    };
    // The answer or time-out at the head of the events, taken at nowNs.
    auto takeEvent = [&] {
        Event event = events.top();
        events.pop();
        --inFlight;
        if (event.answer) {
            ++outcome.found;
            pace.answered(event.ticket, event.atNs - event.sentAtNs);
        } else {
            pace.timedOut(event.ticket);
        }
    };

    for (uint32_t index = 0; index < run.hosts; ++index) outcome.answering += path.answers(index);
    while (run.wakeEveryNs == 0 && (next < run.hosts || inFlight > 0)) {
        bool maySend = next < run.hosts && inFlight < run.window;
        int64_t sendAtNs = std::max(pace.nextSendNs(), senderFreeNs);
        if (maySend && (events.empty() || sendAtNs <= events.top().atNs)) {
            nowNs = std::max(nowNs, sendAtNs);
            senderFreeNs = nowNs + run.sendCostNs;
            if (unit(random) < run.stallChance) senderFreeNs += run.stallNs;
            sendNext();
        } else {
            nowNs = std::max(nowNs, events.top().atNs);
            takeEvent();
        }
        pace.advance(nowNs);
    }
    while (run.wakeEveryNs > 0 && (next < run.hosts || inFlight > 0)) {
        bool busy = false;
        while (!events.empty() && events.top().atNs <= nowNs) {
            takeEvent();
            busy = true;
        }
        pace.advance(nowNs);
        int64_t batchStartNs = nowNs;
        int64_t wakeNs = batchStartNs + run.wakeEveryNs;
        int64_t busyUntilNs = batchStartNs;
        while (next < run.hosts && inFlight < run.window &&
               pace.nextSendNs() <= batchStartNs + run.wakeEveryNs) {
            sendNext();
            busyUntilNs += run.sendCostNs;
            if (unit(random) < run.stallChance) wakeNs += run.stallNs;
            busy = true;
        }
        wakeNs = std::max(wakeNs, busyUntilNs);
        // Quiet: the sender waits for the first answer, or for the next request due.
        if (!busy) {
            int64_t firstNs = events.empty() ? INT64_MAX : events.top().atNs;
            if (next < run.hosts && inFlight < run.window) {
                firstNs = std::min(firstNs, pace.nextSendNs());
            }
            // A wait shorter than a millisecond is slept whole, whatever arrives meanwhile.
            if (firstNs - nowNs < 1'000'000) firstNs = std::max(firstNs, wakeNs);
            wakeNs = firstNs;
        }
        nowNs = std::max(nowNs, wakeNs);
    }
    outcome.seconds = static_cast<double>(nowNs - startNs) / 1e9;
    return outcome;
}

}  // namespace quilvane::testing
