// The Linux implementation of the platform seam.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/platform.h"

namespace quilvane {

// The IP settings last applied to one ping socket, so an unchanged request costs no system call.
struct PingSocketSettings {
    std::optional<uint8_t> ttl;
    std::optional<uint8_t> tos;
    std::optional<bool> dontFragment;
    std::optional<std::vector<uint8_t>> options;
};

// What one echo handle remembers between requests: its sequence numbers (one counter for both
// families, so the answers on its two sockets are told apart), each socket's settings, and its
// buffers. The handle is its IPv4 ping socket; the IPv6 one opens at the first IPv6 request.
struct EchoHandleState {
    uint16_t nextSequence = 1;
    PingSocketSettings ipv4;
    int ipv6Socket = -1;
    PingSocketSettings ipv6;
    std::vector<uint8_t> request;     // the ICMP message being sent
    std::vector<uint8_t> received;    // each datagram or queued error read back
    std::deque<EchoAnswer> pending;   // errors about requests in flight, read to clear a send
    std::optional<int64_t> sentAtNs;  // the newest transmit stamp read from the error queue
    // A digest of each request's data, and its length, by sequence number: a reply whose number
    // has come round is told from the awaited one by the data it echoes. A reply of another length
    // is left to the caller, which reports it as too few bytes.
    std::vector<uint32_t> sentData = std::vector<uint32_t>(65536);
    std::vector<uint16_t> sentLength = std::vector<uint16_t>(65536);
    // When the numbers come round, the handle goes on with fresh sockets (new identifiers) and
    // keeps the ones before only for the answers to requests still in flight on them, with numbers
    // the new sockets have not reached.
    int retiredIpv4 = -1;
    int retiredIpv6 = -1;
};

class LinuxPlatform : public Platform {
  public:
    // Drops CAP_NET_RAW from the effective set and sets the process's timer slack to 1 ns.
    LinuxPlatform();

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
    SystemResult<bool> waitReadableNs(SocketHandle socket, SocketHandle also,
                                      int64_t timeoutNs) override;
    std::optional<int64_t> transmitStampNs(SocketHandle socket, int64_t notBeforeNs) override;
    SystemResult<Datagram> receiveQueued(SocketHandle socket, uint8_t* buffer,
                                         size_t capacity) override;
    std::optional<SystemError> closeSocket(SocketHandle socket) override;
    QueuedBatch receiveQueuedBatch(SocketHandle socket, uint8_t* slots, size_t slotSize,
                                   Datagram* datagrams, size_t most) override;
    size_t transmitStampsNs(SocketHandle socket, int64_t notBeforeNs, int64_t* stamps,
                            size_t most) override;
    BatchSent sendBatch(SocketHandle socket, const OutgoingDatagram* datagrams,
                        size_t count) override;
    bool stampsArrivals() const override { return true; }

    EchoServiceState loadEchoService() override;

    std::string echoServiceRemedy(bool rawSocketRefused) override;
    EchoHandle createEchoHandle() override;
    int sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                 EchoServiceReply& reply) override;
    void closeEchoHandle(EchoHandle handle) override;
    EchoStart startEcho(EchoHandle handle, const EchoServiceRequest& request) override;
    std::optional<EchoAnswer> collectEcho(EchoHandle handle, int64_t timeoutNs) override;

    int64_t performanceCounter() override;
    int64_t performanceFrequency() override { return 1'000'000'000; }
    uint32_t tickCount() override;
    int64_t calendarSeconds() override;
    int64_t realTimeNs() override;
    LocalTime localTime() override;
    uint32_t currentThreadId() override;

    bool writeStandardOutput(const char* text, size_t length) override;

    void sleep(uint32_t ms) override;
    void beep(uint32_t frequencyHz, uint32_t durationMs) override;

    FileLookup findFile(const std::string& path) override;
    FileHandle openFileForReading(const std::string& path) override;
    FileHandle openStandardInput() override;
    long readFile(FileHandle file, uint8_t* buffer, size_t length) override;
    void closeFile(FileHandle file) override;

  private:
    SystemResult<Datagram> receiveDatagram(SocketHandle socket, uint8_t* buffer, size_t capacity,
                                           bool waitForOne);
    SystemResult<bool> waitForData(SocketHandle socket, SocketHandle also, int64_t deadlineNs);
    // The handle's socket for a family, the IPv6 one opened on first use; -1 when it cannot open.
    int pingSocketFor(EchoHandle handle, EchoHandleState& state, AddressFamily family);
    // Reads the queued errors of one of the handle's sockets into its pending answers; true when
    // there were any.
    bool takeQueuedErrors(int descriptor, EchoHandleState& state, const IpAddress& destination);

    std::map<EchoHandle, EchoHandleState> echoHandles_;
};

Platform& linuxPlatform();

}  // namespace quilvane
