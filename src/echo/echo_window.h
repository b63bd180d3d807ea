// Many echo requests in flight, with the lines of a one-by-one run: what both engines share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "echo/echo_job.h"
#include "echo/pace_controller.h"
#include "report/host_report.h"
#include "support/perf_timer.h"
#include "support/platform.h"

namespace quilvane {

// What a windowed pass asks of the run, always in list order.
class WindowedDispatches {
  public:
    virtual size_t count() const = 0;
    // Begins dispatch index: its host and its job (the reply number is taken here). False when a
    // stop was requested: nothing more is begun.
    virtual bool begin(size_t index, std::string& host, EchoJob& job) = 0;
    // A host whose raw send was refused for lack of rights goes the run's other way, at once.
    virtual HostOutcome pingThroughEchoService(const std::string& host, const EchoJob& job) = 0;
    // Dispatch index and every one before it are over; its lines have been written.
    virtual void finished(size_t index, const HostOutcome& outcome) = 0;

  protected:
    ~WindowedDispatches() = default;
};

// Lines printed in its scope belong to one dispatch and wait for the dispatches before it.
class HeldLines {
  public:
    explicit HeldLines(std::string& held);
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
};

// One dispatch of a windowed pass, from its beginning until its lines are written.
struct Flight {
    size_t index = 0;
    EchoJob job;
    std::string held;
    std::optional<HostReport> report;
    HostOutcome outcome;
    IpAddress destination;
    char destinationText[addressTextSize] = {};  // the address its lines show
    uint16_t sequence = 0;
    uint32_t stamp = 0;  // the time stamp the raw request carries, for matching its reply
    CPerfTimer timer;
    int64_t sendDelayNs = 0;    // from the timer's start to the request's transmit stamp
    int64_t sentAtNs = 0;       // right before the current try was sent, on the window's clock
    int64_t realAtStartNs = 0;  // the real-time clock as its timer started, for its stamp
    int64_t kernelWaitNs = 0;   // how long its answer waited in the kernel before it was read
    uint64_t paceTicket = 0;
    uint64_t waitSerial = 0;  // names the current try in the queue of requests awaiting answers
    int32_t triesLeft = 0;    // tries still to send after a time-out (--retries)
    bool errorSeen = false;   // an ICMP error quoted the request
    bool done = false;

    // The end of a pinged host: its statistics and the status it last set.
    void finish();
};

class EchoWindow {
  public:
    virtual ~EchoWindow() = default;
    EchoWindow(const EchoWindow&) = delete;
    EchoWindow& operator=(const EchoWindow&) = delete;

    // One pass over the dispatches; false when a stop request ended it early.
    bool runPass(WindowedDispatches& dispatches);

    // At most rateCap requests a second (0: no cap); the pace below it follows the path, whose
    // answers are awaited timeoutMs at the most. The pace is kept from pass to pass.
    void paceWith(double rateCap, int32_t timeoutMs) {
        rateCap_ = rateCap;
        timeoutNs_ = int64_t{timeoutMs} * 1'000'000;
    }

  protected:
    // window: the most requests awaiting an answer at once (1 to 4096).
    explicit EchoWindow(uint32_t window);

    // The engine's steps of one dispatch up to its wait, printing into the flight's lines: the
    // flight ends done, or sent and handed to awaitAnswer.
    virtual void start(Flight& flight, WindowedDispatches& dispatches, const std::string& host) = 0;
    // Waits up to timeoutNs for answers and takes every one that came.
    virtual void collect(int64_t timeoutNs) = 0;
    // True when each answer carries the time the system received it, so that one read late still
    // shows its true round trip: the window then wakes at most once a short while and takes what
    // came meanwhile all at once, as a wake-up costs about as much as the work on a request.
    virtual bool readsLate() const { return false; }
    // Sleeps sleepNs whatever arrives, then takes every answer that came (engines that read late).
    virtual void collectAfter(int64_t sleepNs) { collect(sleepNs); }
    // The lines of a request whose time is up.
    virtual void timeOut(Flight& flight) = 0;
    // Sends the flight's request again, as a new try with its own sequence number: the flight
    // ends sent and handed to awaitAnswer, or done with its lines.
    virtual void sendAgain(Flight& flight) = 0;
    // After the requests due at one wake-up have left: what the engine reads for all of them at
    // once (their transmit stamps).
    virtual void sendsDone() {}

    void awaitAnswer(Flight& flight);
    // The flight's request did not leave after all (its send failed): it no longer awaits an
    // answer, and gives back its place in the pace.
    void withdraw(Flight& flight);
    // A flight done with its lines hands them to its dispatch's entry and becomes spare.
    void retireIfDone(Flight& flight);
    // The flight awaiting the answer with this sequence number, if any.
    Flight* awaiting(uint16_t sequence);
    // An answered flight, done with its lines, leaves the waiting requests; its answer waited
    // kernelWaitNs in the kernel (set in the flight) before it was read. Nothing touches the flight
    // afterwards: it may already serve another dispatch.
    void answered(Flight& flight);
    // A send refused for want of buffer space (the queue before a slow link is full): the pace
    // slows down and the request goes again, as if it had not been tried, when the pace lets it.
    void sendLater(Flight& flight);
    // True when a request awaiting its answer carries this sequence number: a new try never
    // takes a number still awaited, even after the numbers wrapped.
    bool sequenceAwaited(uint16_t sequence) const { return bySequence_[sequence] != nullptr; }
    int64_t nowNs() const;

  private:
    // A dispatch begun and not yet written: its flight while it runs, then only its lines and
    // outcome, as the dispatches before it may keep it waiting for a while.
    struct Unwritten {
        size_t index = 0;
        std::unique_ptr<Flight> flight;  // null once done
        std::string held;
        HostOutcome outcome;
    };
    // An entry of the queue of requests awaiting an answer, in send order; it is stale once its
    // flight was answered or sent again (its serial no longer matches).
    struct Awaited {
        Flight* flight = nullptr;
        uint64_t serial = 0;
        int64_t deadlineNs = 0;
        bool current() const { return flight->waitSerial == serial && !flight->done; }
    };

    bool beginNext(WindowedDispatches& dispatches);
    // Waits for answers after a wake-up at wokeNs, the next thing due waitNs from then; late: the
    // engine reads late (readsLate, asked once a pass).
    void waitForAnswers(int64_t wokeNs, int64_t waitNs, bool late);
    void sendNext(WindowedDispatches& dispatches, bool& stopped);
    void dropResends();
    void forget(Flight& flight);
    void expire(int64_t nowNs);
    // Takes the lines of the finished dispatches at the head of the list, in list order, and
    // tells the run each one ended.
    void releaseFinished(WindowedDispatches& dispatches);
    // Writes the lines released so far in one block.
    void writeReleased();
    std::unique_ptr<Flight> newFlight();
    std::string spareText();
    int64_t nextWakeUp(int64_t nowNs, bool mayBegin) const;
    bool hasRoom() const;

    const uint32_t window_;
    const size_t span_;  // the most dispatches between the first unwritten one and the newest
    std::deque<Unwritten> unwritten_;  // in list order
    std::deque<Awaited> waiting_;      // in send order
    // The current tries by sequence number, one place for each number: no search, and nothing
    // allocated per request.
    std::vector<Flight*> bySequence_;
    size_t awaitedCount_ = 0;
    uint64_t nextWaitSerial_ = 1;
    // Requests sent, answered or timed out, counted: whether anything happened since the last wait.
    uint64_t events_ = 0;
    uint64_t eventsAtLastWait_ = 0;
    size_t next_ = 0;
    double rateCap_ = 0;
    int64_t timeoutNs_ = 1'000'000'000;
    std::optional<PaceController> pace_;
    std::deque<Flight*> resend_;  // timed out with tries left, to be sent again first
    // Lines of finished dispatches not yet written, in list order: a sweep writes its lines in
    // large blocks rather than a few lines at a time.
    std::string released_;
    // Flights done, kept for reuse; none is freed before the window ends, as stale entries of the
    // waiting queue still point at them.
    std::vector<std::unique_ptr<Flight>> spareFlights_;
    std::vector<std::string> spareTexts_;  // buffers of written lines, kept for reuse
};

}  // namespace quilvane
