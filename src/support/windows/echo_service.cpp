// The echo service of the ICMP helper library (ICMP.DLL), loaded when first asked for, and its
// IPv6 side in the IP helper library (IPHLPAPI.DLL), loaded on the first IPv6 request.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// After <windows.h>: it needs its types.
#include <ipexport.h>

#include <algorithm>
#include <cstring>

#include "support/windows/windows_platform.h"

namespace quilvane {

namespace {

// Room for one reply record, the largest echo data, an ICMP error's quote and the options.
constexpr size_t replyBufferSize = sizeof(ICMP_ECHO_REPLY) + 65535 + 8 + 40 + 64;

constexpr DWORD firstIpStatus = 11001;
constexpr DWORD lastIpStatus = 11050;
constexpr DWORD requestTimedOut = 11010;

// The IPv6 reply record. Its address record is packed to 26 bytes (port, flow information,
// address, scope id), which the headers here lay out unpacked; the status and the round trip follow
// at 28 and 32, and the echoed data at 36. Read by offset, so that no header's layout decides.
constexpr size_t ipv6ReplyAddressAt = 6;
constexpr size_t ipv6ReplyScopeIdAt = 22;
constexpr size_t ipv6ReplyStatusAt = 28;

template <typename Procedure>
bool resolve(HMODULE library, const char* name, Procedure& procedure) {
    FARPROC found = GetProcAddress(library, name);
    // The published signature of each procedure; GetProcAddress only knows a generic one.
    procedure = reinterpret_cast<Procedure>(reinterpret_cast<void*>(found));
    return found != nullptr;
}

}  // namespace

EchoServiceState WindowsPlatform::loadEchoService() {
    if (echoState_) return *echoState_;
    icmpLibrary_ = LoadLibraryA("ICMP.DLL");
    if (icmpLibrary_ == nullptr) {
        echoState_ = EchoServiceState::NotLoadable;
    } else if (!resolve(icmpLibrary_, "IcmpCreateFile", icmp_.createFile) ||
               !resolve(icmpLibrary_, "IcmpSendEcho", icmp_.sendEcho) ||
               !resolve(icmpLibrary_, "IcmpCloseHandle", icmp_.closeHandle)) {
        echoState_ = EchoServiceState::MissingOperation;
    } else {
        echoState_ = EchoServiceState::Ready;
    }
    return *echoState_;
}

// ICMP.DLL is part of the system and needs no right: there is nothing a user could change.
std::string WindowsPlatform::echoServiceRemedy(bool) {
    return std::string();
}

EchoHandle WindowsPlatform::createEchoHandle() {
    if (loadEchoService() != EchoServiceState::Ready) return invalidEchoHandle;
    HANDLE handle = icmp_.createFile();
    if (handle == INVALID_HANDLE_VALUE) return invalidEchoHandle;
    EchoHandle number = nextEchoHandle_++;
    echoHandles_[number] = EchoHandles{handle};
    return number;
}

void WindowsPlatform::closeEchoHandle(EchoHandle handle) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return;
    icmp_.closeHandle(found->second.ipv4);
    if (found->second.ipv6 != INVALID_HANDLE_VALUE) icmp6_.closeHandle(found->second.ipv6);
    echoHandles_.erase(found);
}

HANDLE WindowsPlatform::ipv6EchoHandle(EchoHandles& handles) {
    if (handles.ipv6Tried) return handles.ipv6;
    handles.ipv6Tried = true;
    if (!icmp6Loaded_) {
        ipHelperLibrary_ = LoadLibraryA("IPHLPAPI.DLL");
        icmp6Loaded_ = ipHelperLibrary_ != nullptr &&
                       resolve(ipHelperLibrary_, "Icmp6CreateFile", icmp6_.createFile) &&
                       resolve(ipHelperLibrary_, "Icmp6SendEcho2", icmp6_.sendEcho2) &&
                       resolve(ipHelperLibrary_, "IcmpCloseHandle", icmp6_.closeHandle);
    }
    // Wine exports Icmp6CreateFile but fails it (error 120): no handle either way.
    if (*icmp6Loaded_) handles.ipv6 = icmp6_.createFile();
    return handles.ipv6;
}

namespace {

// A failure raised on this host comes back as an IP status in the last error; a silent host as
// the time-out status, which is no answer.
int answerFailure(DWORD error, const EchoServiceRequest& request, EchoServiceReply& reply) {
    if (error < firstIpStatus || error > lastIpStatus || error == requestTimedOut) return 0;
    reply = EchoServiceReply{};
    reply.status = error;
    reply.address = request.destination;
    return 1;
}

template <typename Value>
Value readAt(const std::vector<uint8_t>& buffer, size_t offset) {
    Value value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

// The IPv6 record has no hop limit, traffic class or data size: the hop limit and traffic class
// are left at 0, and a reply is taken to carry as much data as was sent. Its round trip, in whole
// milliseconds, is left unread: the engine times the call more finely, as over IPv4.
int readIpv6Reply(const std::vector<uint8_t>& buffer, const EchoServiceRequest& request,
                  EchoServiceReply& reply) {
    auto status = readAt<ULONG>(buffer, ipv6ReplyStatusAt);
    if (status == requestTimedOut) return 0;
    reply = EchoServiceReply{};
    reply.status = status;
    Ipv6Bytes address;
    std::memcpy(address.data(), buffer.data() + ipv6ReplyAddressAt, address.size());
    reply.address = IpAddress::fromIpv6(address, readAt<ULONG>(buffer, ipv6ReplyScopeIdAt));
    if (status == ipStatus::success) reply.dataSize = request.dataSize;
    return 1;
}

}  // namespace

void WindowsPlatform::copyRequestData(const EchoServiceRequest& request) {
    replyBuffer_.resize(replyBufferSize);
    // The library takes writable request data; a copy keeps the caller's bytes as they are.
    if (request.data != nullptr) {
        requestData_.assign(request.data, request.data + request.dataSize);
    } else {
        requestData_.assign(request.dataSize, 0);
    }
}

int WindowsPlatform::sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                              EchoServiceReply& reply) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return 0;
    if (request.destination.isIpv6()) return sendIpv6Echo(found->second, request, reply);
    return sendIpv4Echo(found->second.ipv4, request, reply);
}

int WindowsPlatform::sendIpv4Echo(HANDLE handle, const EchoServiceRequest& request,
                                  EchoServiceReply& reply) {
    IP_OPTION_INFORMATION options{};
    options.Ttl = request.ttl;
    options.Tos = request.tos;
    options.Flags = request.dontFragment ? IP_FLAG_DF : 0;
    options.OptionsSize = request.options != nullptr ? request.optionsSize : 0;
    // The library only reads the option bytes, though its record points to writable ones.
    options.OptionsData = const_cast<UCHAR*>(request.options);
    copyRequestData(request);

    DWORD count = icmp_.sendEcho(handle, request.destination.ipv4(), requestData_.data(),
                                 request.dataSize, &options, replyBuffer_.data(),
                                 static_cast<DWORD>(replyBuffer_.size()), request.timeoutMs);
    if (count == 0) return answerFailure(GetLastError(), request, reply);
    ICMP_ECHO_REPLY record;
    std::memcpy(&record, replyBuffer_.data(), sizeof record);
    if (record.Status == requestTimedOut) return 0;
    reply = EchoServiceReply{};
    reply.status = record.Status;
    reply.address = IpAddress(record.Address);
    reply.dataSize = record.DataSize;
    reply.ttl = record.Options.Ttl;
    reply.tos = record.Options.Tos;
    size_t optionsSize = std::min<size_t>(record.Options.OptionsSize, sizeof reply.options);
    if (optionsSize != 0 && record.Options.OptionsData != nullptr) {
        std::memcpy(reply.options, record.Options.OptionsData, optionsSize);
        reply.optionsSize = static_cast<uint8_t>(optionsSize);
    }
    return 1;
}

int WindowsPlatform::sendIpv6Echo(EchoHandles& handles, const EchoServiceRequest& request,
                                  EchoServiceReply& reply) {
    HANDLE handle = ipv6EchoHandle(handles);
    // Without an IPv6 echo service the request fails here, at once.
    if (handle == INVALID_HANDLE_VALUE) {
        return answerFailure(ipStatus::generalFailure, request, reply);
    }
    // IPv6 has no IP options: the hop limit goes where IPv4's TTL does. Without option bytes the
    // record reads the same in the 32-bit form the documentation names for 64-bit systems.
    IP_OPTION_INFORMATION options{};
    options.Ttl = request.ttl;
    options.Tos = request.tos;
    options.Flags = request.dontFragment ? IP_FLAG_DF : 0;
    copyRequestData(request);
    sockaddr_in6 source{};
    source.sin6_family = AF_INET6;
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    std::memcpy(&target.sin6_addr, request.destination.ipv6().data(), 16);
    target.sin6_scope_id = request.destination.scopeId();

    DWORD count = icmp6_.sendEcho2(
        handle, nullptr, nullptr, nullptr, &source, &target, requestData_.data(), request.dataSize,
        &options, replyBuffer_.data(), static_cast<DWORD>(replyBuffer_.size()), request.timeoutMs);
    if (count == 0) return answerFailure(GetLastError(), request, reply);
    return readIpv6Reply(replyBuffer_, request, reply);
}

EchoStart WindowsPlatform::startEcho(EchoHandle handle, const EchoServiceRequest& request) {
    if (echoHandles_.find(handle) == echoHandles_.end()) return {};
    EchoStart start{true, nextEchoSequence_++, std::nullopt};
    EchoServiceReply reply;
    if (sendEcho(handle, request, reply) == 1) {
        answers_.push_back({start.sequence, reply, std::nullopt});  // matched by the service
    } else {
        // The request's time is already up: it is reported as not sent, which ends it at once as a
        // time-out instead of waiting its time a second time.
        start.sent = false;
    }
    return start;
}

std::optional<EchoAnswer> WindowsPlatform::collectEcho(EchoHandle, int64_t timeoutNs) {
    if (answers_.empty()) {
        // Every answer came with its start: nothing more arrives, only the time passes.
        if (timeoutNs > 0) Sleep(static_cast<DWORD>((timeoutNs + 999'999) / 1'000'000));
        return std::nullopt;
    }
    EchoAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
}

}  // namespace quilvane
