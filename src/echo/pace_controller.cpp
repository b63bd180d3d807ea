// When the next request of a windowed run may leave: a pace that follows what the path shows.
#include "echo/pace_controller.h"

#include <algorithm>
#include <cmath>

namespace quilvane {

namespace {

// About 2.4 Mbit/s of the smallest requests: little enough for a slow or policed path to take
// for the moment it needs to show itself, and a fast one is reached within a few tenths of a
// second.
constexpr double startRate = 5'000;
constexpr double lowestRate = 10;
constexpr double highestRate = 10'000'000;
// How fast the pace rises per second of clean samples: far from any congestion seen (doubling
// every 58 ms, as a sweep of a /16 on a fast path lasts about a second), and near a queue seen
// before (where it creeps up, as a queue shows itself before anything is lost).
constexpr double fastGrowthPerSecond = 12.0;
constexpr double slowGrowthPerSecond = 1.0;
constexpr int64_t longestGrowthStepNs = 50'000'000;
// A wake-up comes tens of microseconds late (timer slack, a busy machine): up to this many
// intervals missed are made up at once, so the pace holds in requests a second.
constexpr int64_t catchUpIntervals = 8;
// A sample is judged clean once it holds this many requests and lasts this long (or a round trip).
constexpr uint32_t cleanSampleSends = 32;
constexpr int64_t cleanSampleNs = 2'000'000;
// Fewer requests say nothing about the share of answers.
constexpr uint32_t lossSampleSends = 24;
// A queue shows as round trips this far above the path's base (or a quarter of the base).
constexpr int64_t queueTargetNs = 2'000'000;
// Answers lost to a policer: the pace goes a tenth below what the path let through; seen twice
// at about the same pace, that holds for a while before the pace looks above it again.
constexpr double belowLossEstimate = 0.9;
// A limit seen twice is the lower of its two estimates: the pace may come closer to it.
constexpr double belowConfirmedLimit = 0.95;
constexpr uint32_t firmEstimateAnswers = 8;
constexpr int64_t confirmedLossHoldNs = 60'000'000'000;
// A share of answers that falls is taken in over this long: a policer's loss, where the pace stays
// just above it, must not come to read as the path's normal. A share that rises is taken in at
// once, a fifth a sample.
constexpr int64_t fallingShareMemoryNs = 10'000'000'000;
constexpr double risingShareWeight = 0.2;
// Cuts for loss one after the other are few before the pace is below a policer's rate.
constexpr size_t mostCutsKept = 16;
// The longest an answer is awaited before its request counts as unanswered for the pace (the
// request's own time-out still decides its line), and the most requests awaiting judgement.
constexpr int64_t longestSettleWaitNs = 1'000'000'000;
constexpr size_t mostPending = 65'536;

}  // namespace

PaceController::PaceController(double rateCap, int64_t timeoutNs, int64_t nowNs)
    : rateCap_(rateCap > 0 ? std::min(rateCap, highestRate) : highestRate),
      timeoutNs_(std::max<int64_t>(timeoutNs, 1)),
      rate_(std::min(startRate, rateCap_)),
      nextSendNs_(nowNs),
      lastGrowthNs_(nowNs) {}

double PaceController::rate() const {
    return rate_;
}

void PaceController::setRate(double rate) {
    rate_ = std::clamp(rate, std::min(lowestRate, rateCap_), rateCap_);
}

uint64_t PaceController::sent(int64_t nowNs, bool judged) {
    auto intervalNs = static_cast<int64_t>(1e9 / rate_);
    // A sender that woke late catches up with a few requests at once, never with a burst.
    nextSendNs_ = std::max(nextSendNs_, nowNs - catchUpIntervals * intervalNs) + intervalNs;
    pending_.push_back(Request{nowNs, -1, false, judged});
    if (pending_.size() > mostPending) {
        take(pending_.front(), nowNs);
        pending_.pop_front();
        ++firstPendingTicket_;
    }
    return firstPendingTicket_ + pending_.size() - 1;
}

void PaceController::unsent(uint64_t ticket) {
    if (ticket < firstPendingTicket_ || ticket - firstPendingTicket_ >= pending_.size()) return;
    Request& request = pending_[ticket - firstPendingTicket_];
    if (!request.left) return;
    request.left = false;
    nextSendNs_ -= static_cast<int64_t>(1e9 / rate_);
}

void PaceController::answered(uint64_t ticket, int64_t roundTripNs) {
    roundTripNs = std::max<int64_t>(roundTripNs, 0);
    baseRoundTripNs_ = std::min(baseRoundTripNs_, roundTripNs);
    auto sampled = static_cast<double>(roundTripNs);
    if (smoothedRoundTripNs_ == 0) {
        smoothedRoundTripNs_ = sampled;
        roundTripVariationNs_ = sampled / 2;
    } else {
        roundTripVariationNs_ +=
            (std::abs(smoothedRoundTripNs_ - sampled) - roundTripVariationNs_) / 4;
        smoothedRoundTripNs_ += (sampled - smoothedRoundTripNs_) / 8;
    }
    // An answer to a request already judged unanswered only teaches the wait above.
    if (ticket >= firstPendingTicket_ && ticket - firstPendingTicket_ < pending_.size()) {
        pending_[ticket - firstPendingTicket_].roundTripNs = roundTripNs;
    }
}

void PaceController::timedOut(uint64_t ticket) {
    if (ticket >= firstPendingTicket_ && ticket - firstPendingTicket_ < pending_.size()) {
        pending_[ticket - firstPendingTicket_].timedOut = true;
    }
}

void PaceController::advance(int64_t nowNs) {
    settle(nowNs);
}

void PaceController::refused(int64_t nowNs) {
    // One cut for the refusals of one round trip: they all tell of the same full queue.
    if (lastRefusalNs_ != INT64_MIN && nowNs - lastRefusalNs_ < settleWaitNs()) return;
    lastRefusalNs_ = nowNs;
    queueCeiling_ = rate_;
    setRate(rate_ / 2);
    lastGrowthNs_ = nowNs;
    restartSample(nowNs);
}

// Answers come within a few round trips; waiting for every time-out would judge too late.
int64_t PaceController::settleWaitNs() const {
    int64_t wait = std::min(timeoutNs_, longestSettleWaitNs);
    if (smoothedRoundTripNs_ == 0) return wait;
    auto expected =
        static_cast<int64_t>(2 * smoothedRoundTripNs_ + 4 * roundTripVariationNs_) + 1'000'000;
    return std::min(wait, expected);
}

void PaceController::settle(int64_t nowNs) {
    int64_t waitNs = settleWaitNs();
    while (!pending_.empty()) {
        const Request& front = pending_.front();
        bool known = front.roundTripNs >= 0 || front.timedOut || !front.left;
        if (!known && front.sentAtNs + waitNs > nowNs) return;
        take(front, nowNs);
        pending_.pop_front();
        ++firstPendingTicket_;
    }
}

void PaceController::take(const Request& request, int64_t nowNs) {
    if (!request.left || !request.judged || request.sentAtNs < judgeFromNs_) return;
    Sample& s = sample_;
    // A silent stretch ends: the answers after it are judged without it.
    if (request.roundTripNs >= 0 && s.answers == 0 && s.sends >= 8) s = Sample{};
    if (s.sends == 0) s.firstSentNs = request.sentAtNs;
    s.lastSentNs = request.sentAtNs;
    ++s.sends;
    if (request.roundTripNs >= 0) {
        ++s.answers;
        s.minRoundTripNs = std::min(s.minRoundTripNs, request.roundTripNs);
        int64_t arrivedNs = request.sentAtNs + request.roundTripNs;
        s.firstAnswerNs = std::min(s.firstAnswerNs, arrivedNs);
        s.lastAnswerNs = std::max(s.lastAnswerNs, arrivedNs);
        s.trailingSilent = 0;
    } else if (s.trailingSilent++ == 0) {
        s.trailingSilentFromNs = request.sentAtNs;
    }
    // A silent stretch begins: what came before it was clean, and the stretch is judged alone,
    // as a policer's losses fall among the answers rather than all together.
    if (answerShare_ > 0 && s.trailingSilent > 0 &&
        s.trailingSilent * answerShare_ >= 0.8 * (answerShare_ * s.sends - s.answers)) {
        if (s.trailingSilent < lossSampleSends) return;
        uint32_t silent = s.trailingSilent;
        int64_t fromNs = s.trailingSilentFromNs;
        s = Sample{silent, 0, fromNs, request.sentAtNs, INT64_MAX, silent, fromNs, INT64_MAX, 0};
    }
    Verdict verdict = judge(s);
    if (verdict == Verdict::Clean && lossShown(recent_)) verdict = Verdict::Loss;
    if (verdict != Verdict::Undecided) act(verdict, nowNs);
}

double PaceController::sendRate(const Sample& sample) const {
    int64_t spanNs = sample.lastSentNs - sample.firstSentNs;
    if (sample.sends < 2 || spanNs <= 0) return rate_;
    return (sample.sends - 1) * 1e9 / static_cast<double>(spanNs);
}

// Fewer answers than the share seen without loss, by more than chance and a tenth.
bool PaceController::lossShown(const Sample& sample) const {
    if (answerShare_ <= 0 || sample.sends < lossSampleSends) return false;
    double expected = answerShare_ * sample.sends;
    double spread = std::sqrt(sample.sends * answerShare_ * (1 - answerShare_));
    double deficit = expected - sample.answers;
    return deficit > std::max({3 * spread, 0.1 * expected, 3.0});
}

PaceController::Verdict PaceController::judge(const Sample& s) const {
    if (s.answers >= 8 && baseRoundTripNs_ != INT64_MAX) {
        int64_t targetNs = std::max(queueTargetNs, baseRoundTripNs_ / 4);
        if (s.minRoundTripNs - baseRoundTripNs_ > targetNs) return Verdict::Queue;
    }
    if (lossShown(s)) {
        double expected = answerShare_ * s.sends;
        return s.answers <= std::max(1.0, 0.05 * expected) ? Verdict::Silent : Verdict::Loss;
    }
    int64_t longEnoughNs = std::max(cleanSampleNs, static_cast<int64_t>(smoothedRoundTripNs_));
    if (s.sends >= cleanSampleSends && s.lastSentNs - s.firstSentNs >= longEnoughNs) {
        return Verdict::Clean;
    }
    return Verdict::Undecided;
}

void PaceController::act(Verdict verdict, int64_t nowNs) {
    if (darkHold_ && verdict != Verdict::Queue) {
        // The pace is not what stopped the answers; it waits, as it was, for them to return.
        if (verdict == Verdict::Clean) darkHold_ = false;
        restartSample(judgeFromNs_);
        return;
    }
    switch (verdict) {
        case Verdict::Clean: {
            double share = static_cast<double>(sample_.answers) / sample_.sends;
            // A falling share is the sign looked for: it is taken in only slowly, or a pace just
            // above a policer's would come to read as the path's normal.
            bool better = share > answerShare_;
            lossBeforeClean_ = false;
            double lastedNs = static_cast<double>(sample_.lastSentNs - sample_.firstSentNs);
            double weight =
                better ? risingShareWeight
                       : std::min(1.0, lastedNs / static_cast<double>(fallingShareMemoryNs));
            answerShare_ =
                answerShare_ < 0 ? share : answerShare_ + weight * (share - answerShare_);
            // Answers back at half the pace: the pace may have been it, or a silent stretch
            // ended; rising again tells, as a policer shows itself once more.
            rateBeforeSilence_ = 0;
            speedUp(nowNs);
            // Only samples below the share add up to a small loss.
            if (better || recent_.sends == 0 ||
                sample_.firstSentNs - recent_.firstSentNs > 500'000'000) {
                recent_ = sample_;
            } else {
                recent_.sends += sample_.sends;
                recent_.answers += sample_.answers;
                recent_.lastSentNs = sample_.lastSentNs;
            }
            sample_ = Sample{};
            return;
        }
        case Verdict::Queue:
            slowDownForQueue(nowNs);
            return;
        case Verdict::Loss:
            slowDownForLoss(lossShown(sample_) ? sample_ : recent_, nowNs);
            return;
        case Verdict::Silent:
            if (rateBeforeSilence_ > 0) {
                // Just as silent at half the pace: silent addresses, not the pace.
                setRate(rateBeforeSilence_);
                rateBeforeSilence_ = 0;
                darkHold_ = true;
                restartSample(nowNs);
            } else {
                slowDownForSilence(nowNs);
            }
            return;
        case Verdict::Undecided:
            return;
    }
}

void PaceController::speedUp(int64_t nowNs) {
    int64_t stepNs = std::min(nowNs - lastGrowthNs_, longestGrowthStepNs);
    lastGrowthNs_ = nowNs;
    // A pace the sender did not keep up with (a full window) shows nothing about a faster one.
    if (sendRate(sample_) < 0.7 * rate_) return;
    if (confirmedLimit_ > 0 && nowNs >= confirmedUntilNs_) {
        // Looked at again now and then, as paths change: the limit is where loss is expected.
        lossEstimate_ = confirmedLimit_;
        confirmedLimit_ = 0;
    }
    // Well past where loss or a queue showed, without either again: that was not the path.
    // Not before the pace where the loss showed, though: an estimate from a handful of answers
    // can be far too low, and a policer's burst, full again, would hide a fast climb past it.
    if (lossEstimate_ > 0 && rate_ > std::max(2 * lossEstimate_, lossSeenAtRate_)) {
        lossEstimate_ = 0;
    }
    if (queueCeiling_ > 0 && rate_ > 1.3 * queueCeiling_) queueCeiling_ = 0;
    bool nearQueue = queueCeiling_ > 0 && rate_ > 0.8 * queueCeiling_;
    bool pastLoss = lossEstimate_ > 0 && rate_ > lossEstimate_;
    double growth = nearQueue || pastLoss ? slowGrowthPerSecond : fastGrowthPerSecond;
    double rate = rate_ * std::exp(growth * static_cast<double>(stepNs) / 1e9);
    // Never far ahead of what the sender managed: a busy machine that catches up later must not
    // meet the path at a pace it never tried.
    rate = std::min(rate, std::max(rate_, 2 * sendRate(sample_)));
    if (confirmedLimit_ > 0) {
        // A limit that rests on a rough estimate may read a tenth too high.
        double below = confirmedFirm_ ? belowConfirmedLimit : belowLossEstimate;
        rate = std::min(rate, std::max(rate_, below * confirmedLimit_));
    }
    setRate(rate);
}

// Behind a queue the answers come at the rate the slow link passes requests: the pace goes a
// little below that, or below what was sent when too few answers tell.
void PaceController::slowDownForQueue(int64_t nowNs) {
    double sending = std::min(rate_, sendRate(sample_));
    double ceiling = sending;
    int64_t arrivalsNs = sample_.lastAnswerNs - sample_.firstAnswerNs;
    if (sample_.answers >= 8 && arrivalsNs > 0 && answerShare_ > 0) {
        double passed = (sample_.answers - 1) * 1e9 / static_cast<double>(arrivalsNs);
        ceiling = std::min(sending, passed / answerShare_);
    }
    queueCeiling_ = ceiling;
    setRate(std::min(0.85 * sending, 0.9 * ceiling));
    // The queue takes a while to drain: what is sent meanwhile still meets it.
    int64_t queueNs = sample_.minRoundTripNs - baseRoundTripNs_;
    lastGrowthNs_ = nowNs;
    restartSample(nowNs + 2 * queueNs);
}

// The path let through what was answered: the pace goes a tenth below that. Seen again at about
// the same pace, after the pace had risen above it, it is a limit of the path.
void PaceController::slowDownForLoss(const Sample& sample, int64_t nowNs) {
    double share = static_cast<double>(sample.answers) / sample.sends;
    if (!lossBeforeClean_) {
        cuts_ = Cuts{rate_, lossEstimate_, {}};
    } else if (shareIgnoresPace(share)) {
        // As few answers at a much lower pace: fewer hosts answer here, whatever the pace. That
        // share is the path's from now on, and the pace goes back to where the cuts began.
        answerShare_ = share;
        lossEstimate_ = cuts_.lossEstimateBefore;
        setRate(std::max(rate_, cuts_.rateBefore));
        lossBeforeClean_ = false;
        lastGrowthNs_ = nowNs;
        restartSample(nowNs);
        return;
    }
    if (cuts_.seen.size() < mostCutsKept) cuts_.seen.push_back({rate_, share});
    double sending = sendRate(sample);
    double estimate = sending * sample.answers / (answerShare_ * sample.sends);
    // Loss again before any clean sample: the path still sheds what the last cut left above it;
    // a few requests do not tell by how much, so the pace falls by half at the most.
    if (lossBeforeClean_) estimate = std::max(estimate, 0.5 * lossEstimate_);
    lossBeforeClean_ = true;
    if (lossEstimate_ > 0 && sending > lossEstimate_ && estimate > 0.6 * lossEstimate_ &&
        estimate < 1.6 * lossEstimate_) {
        // The lower of the two: an estimate taken while a burst still passed reads too high, and
        // a pace held just above a policer loses a share of every request for as long as it holds.
        // An estimate from a handful of answers is too rough to be the lower one by right: the
        // other is taken, and the pace keeps further below it.
        bool bothFirm = std::min(sample.answers, lossEstimateAnswers_) >= firmEstimateAnswers;
        bool newerFirmer = sample.answers >= lossEstimateAnswers_;
        confirmedFirm_ = bothFirm;
        confirmedLimit_ = bothFirm      ? std::min(estimate, lossEstimate_)
                          : newerFirmer ? estimate
                                        : lossEstimate_;
        confirmedUntilNs_ = nowNs + confirmedLossHoldNs;
        estimate = confirmedLimit_;
    }
    lossEstimate_ = estimate;
    lossEstimateAnswers_ = sample.answers;
    rateBeforeSilence_ = 0;
    lossSeenAtRate_ = rate_;
    setRate(std::min(rate_, belowLossEstimate * estimate));
    lastGrowthNs_ = nowNs;
    restartSample(nowNs);
}

// Behind a policer the share of answers at least doubles when the pace halves (or comes back
// whole, below the policer's rate); where fewer hosts answer it stays as it was. The share now is
// held against the least seen at nearly twice the pace or more since the cuts began, leaving out
// the first: a policer's burst makes the first overshoot look better than it was.
bool PaceController::shareIgnoresPace(double share) const {
    double least = 2;
    for (size_t i = 1; i < cuts_.seen.size(); ++i) {
        const auto& [rate, seenShare] = cuts_.seen[i];
        if (rate >= 1.8 * rate_) least = std::min(least, seenShare);
    }
    return least <= 1 && share < 1.4 * least;
}

void PaceController::slowDownForSilence(int64_t nowNs) {
    rateBeforeSilence_ = rate_;
    setRate(rate_ / 2);
    lastGrowthNs_ = nowNs;
    restartSample(nowNs);
}

void PaceController::restartSample(int64_t judgeFromNs) {
    sample_ = Sample{};
    recent_ = Sample{};
    judgeFromNs_ = judgeFromNs;
}

}  // namespace quilvane
