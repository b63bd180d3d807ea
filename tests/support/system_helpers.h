// What the platform tests need from the system directly: temp files, signals, a private network.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quilvane::testing {

bool runningAsRoot();

// The calling thread's timer slack in nanoseconds.
uint64_t timerSlackNs();

// A fresh directory under the test temp directory, removed with everything in it at the end.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    std::string path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeWholeFile(const std::string& path, const std::string& contents);
std::string readWholeFile(const std::string& path);
void makeDirectory(const std::string& path);
void makeFifo(const std::string& path);

// What call writes to the standard output descriptor while it runs.
std::string standardOutputOf(const std::function<void()>& call);

// Lowers the process's limit on open descriptors for its lifetime.
class ScopedDescriptorLimit {
  public:
    explicit ScopedDescriptorLimit(uint64_t limit);
    ~ScopedDescriptorLimit();
    ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
    ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

  private:
    uint64_t saved_ = 0;
};

// Delivers SIGINT or SIGQUIT to the calling thread's process-wide handler, from another thread
// after delayMs, aimed at the thread that called this.
void interruptThisThreadLater(bool quit, uint32_t delayMs);
// Waits until the helper thread of interruptThisThreadLater has finished.
void joinInterrupter();
// Puts SIGINT and SIGQUIT back to their default actions and forgets the Ctrl-C count.
void restoreDefaultSignals();

// The calling thread moves into a network namespace of its own, with the loopback interface up
// and ping sockets allowed for every group; the original namespace comes back at the end.
// Needs root; active() tells whether it worked, and hasIpv6() whether ::1 is there as well (the
// echo setting then holds for ICMPv6 too).
struct NetworkSettings {
    bool allowPingSockets = true;
    bool ignoreEchoRequests = false;  // the kernel leaves echo requests unanswered
    int loopbackMtu = 0;              // 0 keeps the default
};

class PrivateNetwork {
  public:
    explicit PrivateNetwork(const NetworkSettings& settings);
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    bool active() const { return active_; }
    bool hasIpv6() const { return ipv6_; }
    const std::string& failure() const { return failure_; }

  private:
    int original_ = -1;
    bool active_ = false;
    bool ipv6_ = false;
    std::string failure_;
};

// The index of a network interface of the calling thread's namespace; 0 when there is none.
unsigned interfaceIndex(const std::string& name);

// The capability lines of /proc/self/task/<tid>/status for the calling thread: CapEff as a number.
uint64_t effectiveCapabilities();
constexpr uint64_t netRawBit = uint64_t{1} << 13;

// A raw ICMP socket without the program's reply filter: it sees every ICMP message of the
// namespace, as a router or another program would. -1 when refused.
int openUnfilteredRawSocket();
// The same for ICMPv6, with the hop limit and traffic class of each datagram read beside it.
int openUnfilteredRawIpv6Socket();

// Gives up CAP_NET_RAW from the permitted set of the calling thread for good (tests of refusal).
bool giveUpRawCapability();

}  // namespace quilvane::testing
