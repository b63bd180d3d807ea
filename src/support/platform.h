// The one seam to the operating system: every system service the program uses goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "support/ip_address.h"

namespace quilvane {

// Error numbers the logic relies on, in the Windows Sockets numbering the output shows.
namespace wsa {
constexpr int accessDenied = 10013;  // raw socket refused (EPERM, EACCES)
constexpr int timedOut = 10060;
constexpr int hostNotFound = 11001;
constexpr int tryAgain = 11002;
constexpr int noRecovery = 11003;
constexpr int noData = 11004;
}  // namespace wsa

// IP_STATUS numbers the echo service reports for ICMP errors.
namespace ipStatus {
constexpr uint32_t success = 0;
constexpr uint32_t destinationNetUnreachable = 11002;
constexpr uint32_t destinationHostUnreachable = 11003;
constexpr uint32_t destinationProtocolUnreachable = 11004;  // prohibited, over IPv6
constexpr uint32_t destinationPortUnreachable = 11005;
constexpr uint32_t packetTooBig = 11009;
constexpr uint32_t badRoute = 11012;
constexpr uint32_t ttlExpiredTransit = 11013;  // the hop limit, over IPv6
constexpr uint32_t reassemblyTimeExceeded = 11014;
constexpr uint32_t parameterProblem = 11015;
constexpr uint32_t generalFailure = 11050;
}  // namespace ipStatus

// A failed system call: its number in the Windows Sockets numbering and the system's text with a
// line end (empty when the system has none). Read at once by the call that failed, as a second
// operating system keeps its last error only until the next call.
struct SystemError {
    int number = 0;
    std::string text;
};

// A call's value, or the error that kept it from one.
template <typename T>
struct SystemResult {
    T value{};
    std::optional<SystemError> error;
    bool ok() const { return !error.has_value(); }
};

struct HostEntry {
    std::string officialName;
    IpAddress address;  // the first address of the lookup in the family chosen
};

struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

using SocketHandle = int;
constexpr SocketHandle invalidSocket = -1;

enum class SocketOption {
    ReceiveTimeout,
    SendTimeout,
    Ttl,
    Tos,
    DontFragment,
    IpOptions,
    ReceiveBuffer,
};

// One datagram read from a raw socket.
struct Datagram {
    size_t length = 0;
    IpAddress sender;
    // Over IPv6 the datagram starts at the ICMPv6 message, and the reply's hop limit and traffic
    // class come beside it.
    std::optional<uint8_t> hopLimit;
    std::optional<uint8_t> trafficClass;
    // When the kernel received it, in the real-time clock's nanoseconds; none without a stamp.
    std::optional<int64_t> receivedAtNs;
};

// What one echo through the echo service takes.
struct EchoServiceRequest {
    IpAddress destination;  // its family chooses ICMP or ICMPv6
    const uint8_t* data = nullptr;
    uint16_t dataSize = 0;
    uint8_t ttl = 128;  // the hop limit over IPv6
    uint8_t tos = 0;    // the traffic class over IPv6
    bool dontFragment = false;
    const uint8_t* options = nullptr;  // IP option bytes, or null (IPv4 only)
    uint8_t optionsSize = 0;
    uint32_t timeoutMs = 1000;
};

// What one echo through the echo service gives back when a reply (or an ICMP error) came.
struct EchoServiceReply {
    uint32_t status = ipStatus::success;
    IpAddress address;  // who answered
    uint16_t dataSize = 0;
    uint8_t ttl = 0;  // the hop limit over IPv6
    uint8_t tos = 0;  // the traffic class over IPv6
    uint8_t optionsSize = 0;
    uint8_t options[40] = {};
    // When the kernel received the reply, in the real-time clock's nanoseconds, if it says.
    std::optional<int64_t> receivedAtNs;
    // When the request left, in the same clock, if the kernel says.
    std::optional<int64_t> sentAtNs;
};

// Many echoes in flight through the echo service: a request goes out at once, and its answer
// (a reply or an ICMP error) is collected later, told apart by its sequence number.
struct EchoStart {
    bool sent = false;
    uint16_t sequence = 0;
    std::optional<EchoServiceReply> answered;  // a failure on this host, answered at once
};

struct EchoAnswer {
    std::optional<uint16_t> sequence;  // none: an error raised here that names no request
    EchoServiceReply reply;
    // An ICMP error's: where the request it quotes was sent, when the service says (an error
    // counts only for a request to that destination). A service that matches errors itself
    // leaves it unset.
    std::optional<IpAddress> quotedDestination;
};

// Whether an answer is about a request sent to destination: a reply that came from there, or an
// error that quotes a request sent there (or names none).
inline bool aboutDestination(const EchoAnswer& answer, const IpAddress& destination) {
    if (answer.reply.status == ipStatus::success)
        return sameHost(answer.reply.address, destination);
    return !answer.quotedDestination || sameHost(*answer.quotedDestination, destination);
}

using EchoHandle = int;
constexpr EchoHandle invalidEchoHandle = -1;

// One datagram of a batched send.
struct OutgoingDatagram {
    const uint8_t* data = nullptr;
    size_t length = 0;
    IpAddress destination;
};

// What a batched send did: the first sent datagrams left, and error is why the one after them did
// not (none when all left).
struct BatchSent {
    size_t sent = 0;
    std::optional<SystemError> error;
};

// What a batched receive took: count datagrams, and the error that ended it when the queue ran dry
// before the batch was full.
struct QueuedBatch {
    size_t count = 0;
    std::optional<SystemError> stoppedBy;
};

enum class EchoServiceState { Ready, NotLoadable, MissingOperation };

struct FileLookup {
    bool found = false;
    uint64_t size = 0;
    // False for a pipe, a terminal or a device, whose size says nothing: it is read to its end.
    bool sized = true;
};

using FileHandle = int;
constexpr FileHandle invalidFile = -1;

class Platform {
  public:
    virtual ~Platform() = default;

    // The socket layer's start-up before any socket or lookup, and its release at the end. False
    // when it cannot start; Linux needs none.
    virtual bool startSockets() { return true; }
    virtual void stopSockets() {}

    // Resolver. Failures carry 11001 to 11004. With FamilyChoice::Any a name gives its first IPv4
    // address, and only when it has none its first IPv6 address; an IPv6 literal (with a zone
    // index or without) resolves to itself unless IPv4 is forced.
    virtual SystemResult<HostEntry> getHostByName(const std::string& text, FamilyChoice family) = 0;
    virtual std::optional<std::string> getHostByAddr(const IpAddress& address) = 0;

    // Raw ICMP (or ICMPv6) socket, with select and recvfrom semantics. Over IPv6 the options Ttl,
    // Tos and DontFragment set the unicast hop limit, the traffic class and IPV6_DONTFRAG, and
    // only echo replies and the ICMPv6 errors the engine reads are let through.
    virtual SystemResult<SocketHandle> openRawSocket(AddressFamily family) = 0;
    virtual SystemResult<int> getSocketOption(SocketHandle socket, SocketOption option) = 0;
    virtual std::optional<SystemError> setSocketOption(SocketHandle socket, SocketOption option,
                                                       const void* value, size_t length) = 0;
    virtual SystemResult<size_t> sendTo(SocketHandle socket, const uint8_t* data, size_t length,
                                        const IpAddress& destination) = 0;
    // True when readable, false after timeoutMs (split into seconds and microseconds).
    virtual SystemResult<bool> waitReadable(SocketHandle socket, uint32_t timeoutMs) = 0;
    virtual SystemResult<Datagram> receiveFrom(SocketHandle socket, uint8_t* buffer,
                                               size_t capacity) = 0;
    // Many requests in flight: a wait with a finer limit on one socket or two (also may be
    // invalidSocket), and a receive that takes only a datagram already queued (its error says when
    // there is none).
    virtual SystemResult<bool> waitReadableNs(SocketHandle socket, SocketHandle also,
                                              int64_t timeoutNs) = 0;
    // When the request just sent left, in the real-time clock's nanoseconds: the newest transmit
    // stamp the kernel queued that is not older than notBeforeNs. None where there is none.
    virtual std::optional<int64_t> transmitStampNs(SocketHandle socket, int64_t notBeforeNs) = 0;
    virtual SystemResult<Datagram> receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                 size_t capacity) = 0;
    virtual std::optional<SystemError> closeSocket(SocketHandle socket) = 0;

    // Many requests in flight, in batches, where the system can do that in one call: a receive
    // takes up to most datagrams already queued, the i-th into slots + i * slotSize; transmit
    // stamps are those queued since a batch of requests left, oldest first, none older than
    // notBeforeNs, and the call returns how many it wrote to stamps.
    virtual QueuedBatch receiveQueuedBatch(SocketHandle socket, uint8_t* slots, size_t slotSize,
                                           Datagram* datagrams, size_t most);
    virtual size_t transmitStampsNs(SocketHandle socket, int64_t notBeforeNs, int64_t* stamps,
                                    size_t most);
    // Sends the datagrams in order, as sendTo would one by one, and stops at the first that fails.
    virtual BatchSent sendBatch(SocketHandle socket, const OutgoingDatagram* datagrams,
                                size_t count);
    // True when every datagram a raw socket receives carries the kernel's receive stamp: a reply
    // read late still shows its true round trip.
    virtual bool stampsArrivals() const { return false; }

    // The echo service that stands in for the ICMP helper library. sendEcho returns the number of
    // replies (0 or 1); with 1, reply holds it: a reply from the request's destination with its
    // number and data, or an ICMP error about that request. One handle serves both families: the
    // request's destination chooses ICMP or ICMPv6, and an ICMPv6 error comes back as its IP
    // status.
    virtual EchoServiceState loadEchoService() = 0;
    // What the user can change so that a run refused the echo service can ping, as one line (or
    // empty where the system offers nothing): the echo service's own permission, and when the
    // raw socket was refused too, the raw-socket right for this very program.
    virtual std::string echoServiceRemedy(bool rawSocketRefused) = 0;
    virtual EchoHandle createEchoHandle() = 0;
    virtual int sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                         EchoServiceReply& reply) = 0;
    virtual void closeEchoHandle(EchoHandle handle) = 0;
    virtual EchoStart startEcho(EchoHandle handle, const EchoServiceRequest& request) = 0;
    // The next answer on the handle within timeoutNs, or none. A reply comes back only with the
    // data of the request it answers (a reply whose number has come round with other data is
    // passed over); whether it came from the request's destination is the caller's to judge.
    virtual std::optional<EchoAnswer> collectEcho(EchoHandle handle, int64_t timeoutNs) = 0;

    // Clocks and the calling thread.
    virtual int64_t performanceCounter() = 0;
    virtual int64_t performanceFrequency() = 0;
    virtual uint32_t tickCount() = 0;
    virtual int64_t calendarSeconds() = 0;
    // The real-time clock in nanoseconds, the clock of the kernel's receive stamps.
    virtual int64_t realTimeNs() = 0;
    virtual LocalTime localTime() = 0;
    // How far local time is ahead of UTC at that moment of the real-time clock (seconds since
    // 1970), from the C library's time zone on every system.
    virtual int32_t utcOffsetSeconds(int64_t epochSeconds);
    virtual uint32_t currentThreadId() = 0;

    // Standard output, written and flushed. False only when its reader is gone for good (a
    // closed pipe, a hung-up terminal): nothing written later can arrive. Other failures (a full
    // disk) count as written, as the next message may pass.
    virtual bool writeStandardOutput(const char* text, size_t length) = 0;

    // A pause of at least ms milliseconds that ends early once a stop has been requested.
    virtual void sleep(uint32_t ms) = 0;
    // The terminal bell; never written to standard output or the log.
    virtual void beep(uint32_t frequencyHz, uint32_t durationMs) = 0;

    // Files for the host-file reader: lookup first, then a read-only open and one read (or, for
    // a file without a size, reads until one gives nothing).
    virtual FileLookup findFile(const std::string& path) = 0;
    virtual FileHandle openFileForReading(const std::string& path) = 0;
    // Standard input as a file of its own handle (closeFile leaves standard input open).
    virtual FileHandle openStandardInput() = 0;
    virtual long readFile(FileHandle file, uint8_t* buffer, size_t length) = 0;
    virtual void closeFile(FileHandle file) = 0;
    // Puts the file from in the place of the file to in one step, so that a reader sees the old
    // file or the new one, never a part (the metrics file). False when it could not.
    virtual bool replaceFile(const std::string& from, const std::string& to);
};

// The platform in use: the operating system's unless a test installed its own.
Platform& platform();
// Installs a replacement (tests); null restores the operating system's platform.
void setPlatform(Platform* replacement);
// The operating system's platform, from whichever side of the seam the build chose.
Platform& systemPlatform();

}  // namespace quilvane
