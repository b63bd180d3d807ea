// The echo service of the ICMP helper library (ICMP.DLL), loaded when first asked for.
#include <windows.h>
#include <winsock2.h>
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

EchoHandle WindowsPlatform::createEchoHandle() {
    if (loadEchoService() != EchoServiceState::Ready) return invalidEchoHandle;
    HANDLE handle = icmp_.createFile();
    if (handle == INVALID_HANDLE_VALUE) return invalidEchoHandle;
    EchoHandle number = nextEchoHandle_++;
    echoHandles_[number] = handle;
    return number;
}

void WindowsPlatform::closeEchoHandle(EchoHandle handle) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return;
    icmp_.closeHandle(found->second);
    echoHandles_.erase(found);
}

int WindowsPlatform::sendEcho(EchoHandle handle, const EchoServiceRequest& request,
                              EchoServiceReply& reply) {
    auto found = echoHandles_.find(handle);
    if (found == echoHandles_.end()) return 0;
    IP_OPTION_INFORMATION options{};
    options.Ttl = request.ttl;
    options.Tos = request.tos;
    options.Flags = request.dontFragment ? IP_FLAG_DF : 0;
    options.OptionsSize = request.options != nullptr ? request.optionsSize : 0;
    // The library only reads the option bytes, though its record points to writable ones.
    options.OptionsData = const_cast<UCHAR*>(request.options);
    replyBuffer_.resize(replyBufferSize);
    // The library takes writable request data; a copy keeps the caller's bytes as they are.
    if (request.data != nullptr) {
        requestData_.assign(request.data, request.data + request.dataSize);
    } else {
        requestData_.assign(request.dataSize, 0);
    }

    DWORD count = icmp_.sendEcho(found->second, request.destination.ipv4(), requestData_.data(),
                                 request.dataSize, &options, replyBuffer_.data(),
                                 static_cast<DWORD>(replyBuffer_.size()), request.timeoutMs);
    if (count == 0) {
        // A failure raised on this host comes back as an IP status in the last error; a silent
        // host as the time-out status.
        DWORD error = GetLastError();
        if (error < firstIpStatus || error > lastIpStatus || error == requestTimedOut) return 0;
        reply = EchoServiceReply{};
        reply.status = error;
        reply.address = request.destination;
        return 1;
    }
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

EchoStart WindowsPlatform::startEcho(EchoHandle handle, const EchoServiceRequest& request) {
    if (echoHandles_.find(handle) == echoHandles_.end()) return {};
    EchoStart start{true, nextEchoSequence_++, std::nullopt};
    EchoServiceReply reply;
    if (sendEcho(handle, request, reply) == 1) {
        answers_.push_back({start.sequence, reply});
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
