// The Windows implementation of the platform seam: Windows Sockets 2, ICMP.DLL, IPHLPAPI, Win32.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// After <windows.h>: it needs its types.
#include <ipexport.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/platform.h"

namespace quilvane {

// The three procedures of the ICMP helper library, as it publishes them.
struct IcmpProcedures {
    HANDLE(WINAPI* createFile)() = nullptr;
    DWORD(WINAPI* sendEcho)
    (HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD) = nullptr;
    BOOL(WINAPI* closeHandle)(HANDLE) = nullptr;
};

// The IPv6 procedures of the IP helper library, as it publishes them.
struct Icmp6Procedures {
    HANDLE(WINAPI* createFile)() = nullptr;
    DWORD(WINAPI* sendEcho2)
    (HANDLE, HANDLE, FARPROC, PVOID, sockaddr_in6*, sockaddr_in6*, LPVOID, WORD,
     PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD) = nullptr;
    BOOL(WINAPI* closeHandle)(HANDLE) = nullptr;
};

// One echo handle of the seam: the ICMP handle, and the ICMPv6 one made when first needed.
struct EchoHandles {
    HANDLE ipv4 = INVALID_HANDLE_VALUE;
    HANDLE ipv6 = INVALID_HANDLE_VALUE;
    bool ipv6Tried = false;
};

// WSARecvMsg, which Windows Sockets hands out only through WSAIoctl.
using ReceiveMessageProcedure = INT(WINAPI*)(SOCKET, LPWSAMSG, LPDWORD, LPWSAOVERLAPPED,
                                             LPWSAOVERLAPPED_COMPLETION_ROUTINE);

class WindowsPlatform : public Platform {
  public:
    WindowsPlatform();

    bool startSockets() override;
    void stopSockets() override;

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
    SystemResult<Datagram> receiveQueued(SocketHandle socket, uint8_t* buffer,
                                         size_t capacity) override;
    // Windows gives no transmit stamps on a raw socket: round trips start at the counter read.
    std::optional<int64_t> transmitStampNs(SocketHandle, int64_t) override { return std::nullopt; }
    std::optional<SystemError> closeSocket(SocketHandle socket) override;

    EchoServiceState loadEchoService() override;

    std::string echoServiceRemedy(bool rawSocketRefused) override;
    EchoHandle createEchoHandle() override;
    int sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                 EchoServiceReply& reply) override;
    void closeEchoHandle(EchoHandle handle) override;
    EchoStart startEcho(EchoHandle handle, const EchoServiceRequest& request) override;
    std::optional<EchoAnswer> collectEcho(EchoHandle handle, int64_t timeoutNs) override;

    int64_t performanceCounter() override;
    int64_t performanceFrequency() override;
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
    bool replaceFile(const std::string& from, const std::string& to) override;

  private:
    // Waits in slices, so that a second Control-C (handled on a thread of its own) ends the wait;
    // also may be invalidSocket.
    SystemResult<bool> waitUntil(SocketHandle socket, SocketHandle also, int64_t deadlineCounter);
    SystemResult<Datagram> readDatagram(SocketHandle socket, uint8_t* buffer, size_t capacity);
    SystemResult<Datagram> readIpv6Datagram(SocketHandle socket, uint8_t* buffer, size_t capacity);
    // A socket this object did not open counts as an IPv4 one.
    AddressFamily familyOf(SocketHandle socket) const;

    // Into the buffers the library writes to; the reply buffer sized for any answer.
    void copyRequestData(const EchoServiceRequest& request);
    int sendIpv4Echo(HANDLE handle, const EchoServiceRequest& request, EchoServiceReply& reply);
    int sendIpv6Echo(EchoHandles& handles, const EchoServiceRequest& request,
                     EchoServiceReply& reply);
    // The ICMPv6 handle, made on the first IPv6 request; INVALID_HANDLE_VALUE where the system
    // has no IPv6 echo service.
    HANDLE ipv6EchoHandle(EchoHandles& handles);

    int64_t frequency_ = 1;
    bool socketsStarted_ = false;
    std::map<SocketHandle, AddressFamily> socketFamilies_;
    ReceiveMessageProcedure receiveMessage_ = nullptr;

    std::optional<EchoServiceState> echoState_;
    HMODULE icmpLibrary_ = nullptr;
    IcmpProcedures icmp_;
    std::optional<bool> icmp6Loaded_;
    HMODULE ipHelperLibrary_ = nullptr;
    Icmp6Procedures icmp6_;
    // The seam numbers handles as small integers; Windows hands out pointers.
    std::map<EchoHandle, EchoHandles> echoHandles_;
    EchoHandle nextEchoHandle_ = 1;
    std::vector<uint8_t> requestData_;
    // IcmpSendEcho answers before it returns: many echoes in flight go one at a time here, and
    // each answer waits to be collected.
    std::deque<EchoAnswer> answers_;
    uint16_t nextEchoSequence_ = 1;
    std::vector<uint8_t> replyBuffer_;

    std::map<FileHandle, HANDLE> files_;
    FileHandle nextFile_ = 1;
};

Platform& windowsPlatform();

// Windows Sockets' and the system's own numbers with the system's text (FormatMessageA).
SystemError windowsError(int number);

}  // namespace quilvane
