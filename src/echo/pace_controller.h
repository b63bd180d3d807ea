// When the next request of a windowed run may leave: a pace that follows what the path shows.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace quilvane {

// Fed with every request sent, every answer (with its round trip), every time-out and the clock,
// it keeps a pace in requests a second. The pace starts moderate and rises while the path shows
// no sign of congestion. Two signs slow it down: round trips of answered requests rising above
// the path's base (a queue is building on a slow link), and a share of answers that falls when
// the pace rises (a policer drops without queueing). Loss that does not depend on the pace (random
// drops, a stretch of silent addresses) is told apart by trying the lower pace: when the answers
// stay as rare there, the pace goes back up.
class PaceController {
  public:
    // rateCap: the most requests a second (0: no cap); timeoutNs: a request's time-out, the
    // longest any answer is awaited.
    PaceController(double rateCap, int64_t timeoutNs, int64_t nowNs);

    // The earliest time the next request may leave.
    int64_t nextSendNs() const { return nextSendNs_; }
    // The current pace, requests a second.
    double rate() const;

    // A request left at nowNs; the ticket names it in what follows. A request sent again after a
    // time-out (not judged) keeps the pace but says nothing of the path's share of answers.
    uint64_t sent(int64_t nowNs, bool judged = true);
    // The request never left (its send failed): it gives back its place in the pace and says
    // nothing of the path.
    void unsent(uint64_t ticket);
    // The request's answer came, roundTripNs after it left.
    void answered(uint64_t ticket, int64_t roundTripNs);
    // The request's time is up without an answer.
    void timedOut(uint64_t ticket);
    // Judges what the passing time has settled; the window calls it on every wake-up, once it
    // has taken the answers that came: an answer read late must not find its request already
    // judged unanswered.
    void advance(int64_t nowNs);
    // A send was refused for want of buffer space: the queue before the link is full.
    void refused(int64_t nowNs);

  private:
    struct Request {
        int64_t sentAtNs = 0;
        int64_t roundTripNs = -1;  // -1 while unanswered
        bool timedOut = false;
        bool judged = true;
        bool left = true;
    };
    // The requests judged together: sent one after the other since the last decision.
    struct Sample {
        uint32_t sends = 0;
        uint32_t answers = 0;
        int64_t firstSentNs = 0;
        int64_t lastSentNs = 0;
        int64_t minRoundTripNs = INT64_MAX;
        uint32_t trailingSilent = 0;  // unanswered requests at its end, one after the other
        int64_t trailingSilentFromNs = 0;
        int64_t firstAnswerNs = INT64_MAX;  // when its answers arrived, the first and the last
        int64_t lastAnswerNs = 0;
    };
    enum class Verdict { Clean, Queue, Loss, Silent, Undecided };

    void settle(int64_t nowNs);
    void take(const Request& request, int64_t nowNs);
    Verdict judge(const Sample& sample) const;
    bool lossShown(const Sample& sample) const;
    void act(Verdict verdict, int64_t nowNs);
    void speedUp(int64_t nowNs);
    void slowDownForQueue(int64_t nowNs);
    void slowDownForLoss(const Sample& sample, int64_t nowNs);
    void slowDownForSilence(int64_t nowNs);
    bool shareIgnoresPace(double share) const;
    void setRate(double rate);
    void restartSample(int64_t judgeFromNs);
    int64_t settleWaitNs() const;
    double sendRate(const Sample& sample) const;

    const double rateCap_;
    const int64_t timeoutNs_;
    double rate_;
    int64_t nextSendNs_;

    std::deque<Request> pending_;  // sent and not yet settled, in send order
    uint64_t firstPendingTicket_ = 0;

    Sample sample_;
    Sample recent_;  // clean samples since the last decision: a small loss shows over more
    int64_t judgeFromNs_ = 0;  // requests sent earlier came before the last decision took effect
    int64_t lastGrowthNs_;

    // What the path has shown so far.
    int64_t baseRoundTripNs_ = INT64_MAX;
    double smoothedRoundTripNs_ = 0;
    double roundTripVariationNs_ = 0;
    double answerShare_ = -1;  // of requests sent at a pace without loss; -1 before the first

    // Where congestion showed: the pace stays below it, and rises slowly near it.
    double queueCeiling_ = 0;
    double lossEstimate_ = 0;  // requests a second the path let through when loss last showed
    uint32_t lossEstimateAnswers_ = 0;  // the answers that estimate was taken from
    double lossSeenAtRate_ = 0;         // the pace at which that loss showed
    double confirmedLimit_ = 0;         // the same, seen twice at about the same pace: kept a while
    bool confirmedFirm_ = true;         // both its estimates rest on some answers
    int64_t confirmedUntilNs_ = 0;
    double rateBeforeSilence_ = 0;  // the pace halved on answers that all but stopped
    bool darkHold_ = false;         // answers stopped whatever the pace: wait for them to return
    bool lossBeforeClean_ = false;  // the last sample judged showed loss
    // The last cuts for loss, one after the other without a clean sample between: the pace and
    // estimate before the first, and the pace and share of answers of each.
    struct Cuts {
        double rateBefore = 0;
        double lossEstimateBefore = 0;
        std::vector<std::pair<double, double>> seen;
    };
    Cuts cuts_;
    int64_t lastRefusalNs_ = INT64_MIN;
};

}  // namespace quilvane
