// A scriptable platform for tests: resolver, sockets, echo service, clock, files, all in memory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/platform.h"

namespace quilvane::testing {

// A datagram the fake raw socket delivers; length -1 (with error) makes recvfrom fail.
struct FakeDatagram {
    std::vector<uint8_t> bytes;
    long length = 0;                  // normally bytes.size()
    IpAddress sender;                 // the IPv4 address 0: the last destination
    std::optional<uint8_t> hopLimit;  // IPv6 replies: beside the datagram
    std::optional<uint8_t> trafficClass;
    int error = 0;                        // with length -1
    std::optional<int64_t> receivedAtNs;  // the kernel's receive stamp, real-time clock
    // When a queued receive can take it (fake clock); without one it is not queued yet, and
    // arrives only when a receive waits for it.
    std::optional<int64_t> arrivalNs;
    // An echo reply to one of the requests sent brings back that request's time stamp (of the
    // latest request with its identifier and number), as a host that answers does; false keeps
    // the bytes as they are (a stale reply, a forged one).
    bool echoesStamp = true;
};

// One outcome of the fake echo service.
struct FakeEcho {
    int replies = 1;  // 0: no reply (time-out)
    EchoServiceReply reply;
    uint32_t elapsedMs = 1;                      // fake time the call takes
    bool echoRequestSize = true;                 // reply.dataSize = the request's size
    std::optional<IpAddress> quotedDestination;  // an error's, as the service names it
};

class FakePlatform : public Platform {
  public:
    FakePlatform();

    // Every call, in order, as short texts ("socket", "setsockopt Ttl 5", "sendto 40",
    // "select 1000", "recvfrom", "sleep 1000", "beep 440 100", "close", "echo 32"...).
    std::vector<std::string> calls;
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;

    // Resolver: names (IPv4) and names6 (IPv6) and reverse names; a dotted text or IPv6 literal
    // resolves to itself unless listed in unresolvable or of the family not allowed.
    std::map<std::string, HostEntry> names;
    std::map<std::string, HostEntry> names6;
    std::map<IpAddress, std::string> reverseNames;
    std::vector<std::string> unresolvable;
    int resolverError = wsa::hostNotFound;

    // The socket layer's start-up (WSAStartup) fails; sockets started and stopped so far.
    bool socketStartFails = false;
    int socketsStarted = 0;
    int socketsStopped = 0;

    // Raw socket.
    int openRawError = 0;                          // non-zero: socket() fails with it
    int openRaw6Error = 0;                         // the same for the IPv6 raw socket
    std::vector<SocketOption> failingOptionReads;  // getsockopt fails for these
    std::deque<int> sendErrors;          // next sendto fails with the front value if non-zero
    std::deque<int> waitResults;         // scripted select results; empty: see autoReply
    std::deque<FakeDatagram> datagrams;  // what recvfrom delivers next
    bool closeFails = false;
    // With autoReply, every good sendto queues the matching echo reply (20-byte header, TTL 64)
    // after replyDelayMs of fake time, and select reports it readable. A destination listed in
    // replyDelays answers after its own delay; one in silentDestinations never answers.
    bool autoReply = false;
    uint32_t replyDelayMs = 1;
    std::map<IpAddress, uint32_t> replyDelays;
    std::set<IpAddress> silentDestinations;
    uint8_t replyTtl = 64;
    uint8_t replyTos = 0;
    std::vector<std::vector<uint8_t>> sentPackets;
    std::vector<IpAddress> sentTo;  // the destination of each packet sent
    uint32_t replyCopies = 1;       // how many copies of its reply autoReply queues
    // Every datagram received carries the kernel's receive stamp (an automatic reply its arrival),
    // so that the window may read answers late.
    bool stampsEveryArrival = false;
    std::vector<int64_t> wokeAtNs;    // the fake clock as each wait of a windowed run ended
    std::vector<size_t> batchesSent;  // the datagrams handed to each batched send
    std::vector<std::pair<SocketOption, std::vector<uint8_t>>> optionsSet;

    // Echo service.
    EchoServiceState serviceState = EchoServiceState::Ready;
    bool createHandleFails = false;
    std::deque<FakeEcho> echoes;  // empty: no reply after timeoutMs
    std::vector<EchoServiceRequest> echoRequests;
    std::vector<std::vector<uint8_t>> echoData;
    std::vector<std::vector<uint8_t>> echoOptions;  // the IP option bytes of each request

    // Clock: nanoseconds of fake time; sleeps and waits advance it.
    int64_t nowNs = 1'000'000'000;
    LocalTime clockTime{2026, 12, 7, 9, 5, 3};
    int32_t utcOffset = 3600;  // local time an hour ahead of UTC
    uint32_t threadId = 0x4321ABCD;
    std::function<void(uint32_t ms)> onSleep;  // e.g. to raise a stop request
    // When set, every sleep writes "<sleep ms>" as a line of its own here (the captured output),
    // so that the order of waits and printed lines can be compared as one text.
    std::string* sleepMarks = nullptr;
    std::function<void()> onSend;  // called on every sendto and sendEcho
    // Standard output: what reaches it, and after how many writes its reader is gone (every
    // later write fails and reaches nothing).
    std::string* standardOutput = nullptr;
    std::optional<size_t> readerGoneAfter;
    size_t standardOutputWrites = 0;

    // Files: path -> contents; directories are found but cannot be opened.
    std::map<std::string, std::string> files;
    std::vector<std::string> directories;
    size_t shrinkBy = 0;  // the read returns this many bytes fewer than the lookup said
    // Files listed here are pipes: the lookup gives no size, and a read gives at most pipeBurst
    // bytes (0: all it can), a pipe's pieces as the writer wrote them. A read error after
    // failReadAfter bytes, when set.
    std::set<std::string> pipes;
    size_t pipeBurst = 0;
    std::optional<size_t> failReadAfter;
    // What standard input holds, read as a pipe; none: it cannot be opened.
    std::optional<std::string> standardInput;

    bool startSockets() override {
        ++socketsStarted;
        return !socketStartFails;
    }
    void stopSockets() override { ++socketsStopped; }
    SystemResult<HostEntry> getHostByName(const std::string& text, FamilyChoice family) override;
    std::optional<std::string> getHostByAddr(const IpAddress& address) override;
    SystemResult<SocketHandle> openRawSocket(AddressFamily family) override;
    SystemResult<int> getSocketOption(SocketHandle socket, SocketOption option) override;
    std::optional<SystemError> setSocketOption(SocketHandle socket, SocketOption option,
                                               const void* value, size_t length) override;
    SystemResult<size_t> sendTo(SocketHandle socket, const uint8_t* data, size_t length,
                                const IpAddress& destination) override;
    SystemResult<bool> waitReadable(SocketHandle socket, uint32_t timeoutMs) override;
    SystemResult<Datagram> receiveFrom(SocketHandle socket, uint8_t* buffer,
                                       size_t capacity) override;
    std::optional<SystemError> closeSocket(SocketHandle socket) override;
    bool stampsArrivals() const override { return stampsEveryArrival; }
    BatchSent sendBatch(SocketHandle socket, const OutgoingDatagram* batch, size_t count) override {
        batchesSent.push_back(count);
        return Platform::sendBatch(socket, batch, count);
    }
    SystemResult<bool> waitReadableNs(SocketHandle socket, SocketHandle also,
                                      int64_t timeoutNs) override;
    // The transmit stamp: transmitDelayNs after the request was handed over, when set.
    std::optional<int64_t> transmitStampNs(SocketHandle, int64_t notBeforeNs) override {
        if (!transmitDelayNs) return std::nullopt;
        return notBeforeNs + *transmitDelayNs;
    }
    std::optional<int64_t> transmitDelayNs;
    // Every request of a batch left transmitDelayNs after the clock read before the first send.
    size_t transmitStampsNs(SocketHandle, int64_t notBeforeNs, int64_t* stamps,
                            size_t most) override {
        if (!transmitDelayNs) return 0;
        for (size_t i = 0; i < most; ++i) stamps[i] = notBeforeNs + *transmitDelayNs;
        return most;
    }
    SystemResult<Datagram> receiveQueued(SocketHandle socket, uint8_t* buffer,
                                         size_t capacity) override;
    EchoServiceState loadEchoService() override;
    std::string echoServiceRemedy(bool rawSocketRefused) override;
    EchoHandle createEchoHandle() override;
    EchoStart startEcho(EchoHandle handle, const EchoServiceRequest& request) override;
    std::optional<EchoAnswer> collectEcho(EchoHandle handle, int64_t timeoutNs) override;
    int sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                 EchoServiceReply& reply) override;
    void closeEchoHandle(EchoHandle handle) override;
    int64_t performanceCounter() override { return nowNs; }
    int64_t performanceFrequency() override { return 1'000'000'000; }
    uint32_t tickCount() override { return static_cast<uint32_t>(nowNs / 1'000'000); }
    int64_t calendarSeconds() override { return 1'796'000'000; }
    // The real-time clock runs with the fake counter, this far ahead of it.
    int64_t realTimeNs() override { return realTimeOffsetNs + nowNs; }
    int64_t realTimeOffsetNs = 1'796'000'000'000'000'000;
    LocalTime localTime() override { return clockTime; }
    int32_t utcOffsetSeconds(int64_t) override { return utcOffset; }
    uint32_t currentThreadId() override { return threadId; }
    bool writeStandardOutput(const char* text, size_t length) override;
    void sleep(uint32_t ms) override;
    void beep(uint32_t frequencyHz, uint32_t durationMs) override;
    FileLookup findFile(const std::string& path) override;
    FileHandle openFileForReading(const std::string& path) override;
    FileHandle openStandardInput() override;
    long readFile(FileHandle file, uint8_t* buffer, size_t length) override;
    void closeFile(FileHandle file) override;
    // Replaced files are real files: the system's own way of putting one over another, which on
    // Windows is not rename().
    bool replaceFile(const std::string& from, const std::string& to) override {
        return systemPlatform().replaceFile(from, to);
    }

    void advanceMs(uint32_t ms) { nowNs += int64_t{ms} * 1'000'000; }

  private:
    void echoStamp(std::vector<uint8_t>& bytes, bool ipv6) const;

    // Answers of echoes started, each due at a time of the fake clock.
    std::vector<std::pair<int64_t, EchoAnswer>> answersDue_;
    uint16_t nextEchoSequence_ = 1;
    IpAddress lastDestination_;
    const std::string* openFile_ = nullptr;
    bool openPipe_ = false;
    size_t readOffset_ = 0;
};

// An echo reply datagram as a raw socket delivers it: 20-byte IPv4 header (plus options), ICMP.
std::vector<uint8_t> makeEchoReplyDatagram(uint16_t identifier, uint16_t sequence, int32_t dataSize,
                                           uint8_t ttl = 64, uint8_t tos = 0,
                                           const std::vector<uint8_t>& ipOptions = {},
                                           uint8_t icmpType = 0);
// An ICMPv6 echo reply as a raw IPv6 socket delivers it: the message alone, its checksum left
// to the kernel.
std::vector<uint8_t> makeEchoReplyMessage6(uint16_t identifier, uint16_t sequence, int32_t dataSize,
                                           uint8_t icmpType = 129);
// An IPv6 address from its text, for tables of expected runs.
inline IpAddress ipv6(std::string_view text) {
    return IpAddress::fromIpv6(parseIpv6(text).value_or(Ipv6Bytes{}));
}

// An ICMP error (type 3, code 1, or another type) as a raw IPv4 socket delivers it, quoting the
// first 8 bytes of an echo request with this identifier and sequence number sent to
// quotedDestination.
std::vector<uint8_t> makeIcmpErrorDatagram(Ipv4 quotedDestination, uint16_t identifier,
                                           uint16_t sequence, uint8_t icmpType = 3);

// Writes the ICMP checksum of a datagram whose message was changed after it was made.
void sealIcmpChecksum(std::vector<uint8_t>& datagram);

// Installs a fresh FakePlatform and captures the console. Every piece of process-wide state starts
// afresh, and is left so: the console control flags, held output, the log file, the timer
// calibration (the first timer built afterwards calibrates against the fake clock, which stands
// still between two readings, so measured times come out exactly as the fake advances them) and
// the random generator (seeded as at process start).
class ScopedFakePlatform {
  public:
    ScopedFakePlatform();
    ~ScopedFakePlatform();
    ScopedFakePlatform(const ScopedFakePlatform&) = delete;
    ScopedFakePlatform& operator=(const ScopedFakePlatform&) = delete;

    FakePlatform fake;
    std::string output;  // everything printed through the sink
    std::string errors;  // what a result output sent to standard error
};

}  // namespace quilvane::testing
