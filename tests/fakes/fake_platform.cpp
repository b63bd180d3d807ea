// A scriptable platform for tests: resolver, sockets, echo service, clock, files, all in memory.
#include "fakes/fake_platform.h"

#include <algorithm>
#include <cstring>

#include "echo/icmp_wire.h"
#include "report/result_events.h"
#include "support/console_control.h"
#include "support/inet.h"
#include "support/output_sink.h"
#include "support/perf_timer.h"
#include "support/random.h"

namespace quilvane::testing {

namespace {

const char* optionName(SocketOption option) {
    switch (option) {
        case SocketOption::ReceiveTimeout:
            return "ReceiveTimeout";
        case SocketOption::SendTimeout:
            return "SendTimeout";
        case SocketOption::Ttl:
            return "Ttl";
        case SocketOption::Tos:
            return "Tos";
        case SocketOption::DontFragment:
            return "DontFragment";
        case SocketOption::IpOptions:
            return "IpOptions";
        case SocketOption::ReceiveBuffer:
            return "ReceiveBuffer";
    }
    return "?";
}

uint16_t readLittle16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The error a fake call fails with, with the text the Linux platform gives for it.
SystemError fakeError(int number) {
    switch (number) {
        case wsa::accessDenied:
            return {number, "Operation not permitted\n"};
        case wsa::timedOut:
            return {number, "Resource temporarily unavailable\n"};
        case 10051:
            return {number, "Network is unreachable\n"};
        default:
            return {number, ""};
    }
}

}  // namespace

FakePlatform::FakePlatform() = default;

std::vector<std::string> FakePlatform::callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& call : calls) {
        if (call.rfind(prefix, 0) == 0) found.push_back(call);
    }
    return found;
}

SystemResult<HostEntry> FakePlatform::getHostByName(const std::string& text, FamilyChoice family) {
    calls.push_back("gethostbyname " + text);
    if (std::find(unresolvable.begin(), unresolvable.end(), text) != unresolvable.end()) {
        return {{}, fakeError(resolverError)};
    }
    bool ipv4 = family != FamilyChoice::Ipv6Only;
    bool ipv6 = family != FamilyChoice::Ipv4Only;
    if (auto found = names.find(text); ipv4 && found != names.end()) return {found->second, {}};
    if (auto found = names6.find(text); ipv6 && found != names6.end()) return {found->second, {}};
    Ipv4 address = inetAddr(text.c_str());
    if (ipv4 && address != inaddrNone && !text.empty()) return {HostEntry{text, address}, {}};
    if (auto literal = parseIpv6(text.substr(0, text.find('%'))); ipv6 && literal) {
        return {HostEntry{text, IpAddress::fromIpv6(*literal)}, {}};
    }
    return {{}, fakeError(resolverError)};
}

void FakePlatform::echoStamp(std::vector<uint8_t>& bytes, bool ipv6) const {
    size_t start = ipv6 || bytes.empty() ? 0 : (bytes[0] & 0x0Fu) * 4u;
    uint8_t replyType = ipv6 ? 129 : 0;
    if (bytes.size() < start + 12 || bytes[start] != replyType) return;
    uint8_t* message = bytes.data() + start;
    for (auto sent = sentPackets.rbegin(); sent != sentPackets.rend(); ++sent) {
        if (sent->size() < 12 || !std::equal(sent->begin() + 4, sent->begin() + 8, message + 4)) {
            continue;
        }
        bool sealed = ipv6 || internetChecksum(message, bytes.size() - start) == 0;
        std::copy(sent->begin() + 8, sent->begin() + 12, message + 8);
        if (sealed && !ipv6) sealIcmpChecksum(bytes);
        return;
    }
}

std::optional<std::string> FakePlatform::getHostByAddr(const IpAddress& address) {
    calls.push_back("gethostbyaddr " + addressText(address));
    if (auto found = reverseNames.find(address); found != reverseNames.end()) return found->second;
    return std::nullopt;
}

SystemResult<SocketHandle> FakePlatform::openRawSocket(AddressFamily family) {
    if (family == AddressFamily::V6) {
        calls.push_back("socket6");
        if (openRaw6Error != 0) return {invalidSocket, fakeError(openRaw6Error)};
        return {4, {}};
    }
    calls.push_back("socket");
    if (openRawError != 0) return {invalidSocket, fakeError(openRawError)};
    return {3, {}};
}

SystemResult<int> FakePlatform::getSocketOption(SocketHandle, SocketOption option) {
    calls.push_back(std::string("getsockopt ") + optionName(option));
    if (std::find(failingOptionReads.begin(), failingOptionReads.end(), option) !=
        failingOptionReads.end()) {
        return {0, fakeError(10022)};
    }
    return {0, {}};
}

std::optional<SystemError> FakePlatform::setSocketOption(SocketHandle, SocketOption option,
                                                         const void* value, size_t length) {
    std::string call = std::string("setsockopt ") + optionName(option);
    const auto* bytes = static_cast<const uint8_t*>(value);
    if (option != SocketOption::IpOptions && length == sizeof(int)) {
        int number = 0;
        std::memcpy(&number, value, sizeof number);
        call += " " + std::to_string(number);
    } else {
        call += " " + std::to_string(length);
    }
    calls.push_back(call);
    optionsSet.emplace_back(option, std::vector<uint8_t>(bytes, bytes + length));
    return std::nullopt;
}

SystemResult<size_t> FakePlatform::sendTo(SocketHandle, const uint8_t* data, size_t length,
                                          const IpAddress& destination) {
    calls.push_back("sendto " + std::to_string(length));
    if (onSend) onSend();
    lastDestination_ = destination;
    if (!sendErrors.empty()) {
        int error = sendErrors.front();
        sendErrors.pop_front();
        if (error != 0) return {0, fakeError(error)};
    }
    sentPackets.emplace_back(data, data + length);
    sentTo.push_back(destination);
    if (autoReply && length >= 8 && silentDestinations.count(destination) == 0) {
        int32_t dataSize = static_cast<int32_t>(length) - 8;
        FakeDatagram reply;
        if (destination.isIpv6()) {
            reply.bytes =
                makeEchoReplyMessage6(readLittle16(data + 4), readLittle16(data + 6), dataSize);
            std::memcpy(reply.bytes.data() + 8, data + 8, length - 8);
            reply.hopLimit = replyTtl;
            reply.trafficClass = replyTos;
        } else {
            reply.bytes = makeEchoReplyDatagram(readLittle16(data + 4), readLittle16(data + 6),
                                                dataSize, replyTtl, replyTos);
            std::memcpy(reply.bytes.data() + 28, data + 8, length - 8);
            sealIcmpChecksum(reply.bytes);
        }
        reply.length = static_cast<long>(reply.bytes.size());
        reply.sender = destination;
        auto own = replyDelays.find(destination);
        reply.arrivalNs =
            nowNs + int64_t{own != replyDelays.end() ? own->second : replyDelayMs} * 1'000'000;
        if (stampsEveryArrival) reply.receivedAtNs = realTimeOffsetNs + *reply.arrivalNs;
        for (uint32_t copy = 0; copy < replyCopies; ++copy) datagrams.push_back(reply);
    }
    return {length, {}};
}

SystemResult<bool> FakePlatform::waitReadable(SocketHandle, uint32_t timeoutMs) {
    calls.push_back("select " + std::to_string(timeoutMs));
    if (!waitResults.empty()) {
        int result = waitResults.front();
        waitResults.pop_front();
        if (result == 0) advanceMs(timeoutMs);
        if (result < 0) return {false, fakeError(10022)};
        return {result > 0, {}};
    }
    if (!datagrams.empty()) {
        auto own = replyDelays.find(lastDestination_);
        advanceMs(own != replyDelays.end() ? own->second : replyDelayMs);
        return {true, {}};
    }
    advanceMs(timeoutMs);
    return {false, {}};
}

SystemResult<Datagram> FakePlatform::receiveFrom(SocketHandle, uint8_t* buffer, size_t capacity) {
    calls.push_back("recvfrom");
    if (datagrams.empty()) return {{}, fakeError(wsa::timedOut)};
    FakeDatagram datagram = datagrams.front();
    datagrams.pop_front();
    if (datagram.length < 0) {
        return {{}, fakeError(datagram.error != 0 ? datagram.error : wsa::timedOut)};
    }
    Datagram received;
    received.sender = datagram.sender != IpAddress() ? datagram.sender : lastDestination_;
    if (datagram.echoesStamp) echoStamp(datagram.bytes, received.sender.isIpv6());
    size_t length =
        std::min({capacity, datagram.bytes.size(), static_cast<size_t>(datagram.length)});
    std::memcpy(buffer, datagram.bytes.data(), length);
    received.length = length;
    received.hopLimit = datagram.hopLimit;
    received.trafficClass = datagram.trafficClass;
    received.receivedAtNs = datagram.receivedAtNs;
    return {received, {}};
}

// Many requests in flight: a datagram is readable once the fake clock reaches its arrival; the
// wait advances the clock to the first arrival within the limit, or by the whole limit.
SystemResult<bool> FakePlatform::waitReadableNs(SocketHandle socket, SocketHandle also,
                                                int64_t timeoutNs) {
    calls.push_back("poll");
    int64_t until = nowNs + std::max<int64_t>(timeoutNs, 0);
    int64_t first = until + 1;
    // A wait on no socket at all is a plain sleep.
    bool sleeping = socket == invalidSocket && also == invalidSocket;
    for (const FakeDatagram& datagram : datagrams) {
        if (!sleeping) first = std::min(first, datagram.arrivalNs.value_or(0));
    }
    bool readable = first <= until;
    nowNs = readable ? std::max(nowNs, first) : until;
    wokeAtNs.push_back(nowNs);
    return {readable, {}};
}

SystemResult<Datagram> FakePlatform::receiveQueued(SocketHandle socket, uint8_t* buffer,
                                                   size_t capacity) {
    auto due = std::find_if(datagrams.begin(), datagrams.end(), [this](const FakeDatagram& d) {
        return d.arrivalNs && *d.arrivalNs <= nowNs;
    });
    if (due == datagrams.end()) return {{}, fakeError(wsa::timedOut)};
    std::rotate(datagrams.begin(), due, due + 1);
    return receiveFrom(socket, buffer, capacity);
}

std::optional<SystemError> FakePlatform::closeSocket(SocketHandle) {
    calls.push_back("closesocket");
    if (closeFails) return fakeError(10038);
    return std::nullopt;
}

EchoServiceState FakePlatform::loadEchoService() {
    calls.push_back("load echo service");
    return serviceState;
}

EchoHandle FakePlatform::createEchoHandle() {
    calls.push_back("create echo handle");
    return createHandleFails ? invalidEchoHandle : 5;
}

int FakePlatform::sendEcho(EchoHandle, const EchoServiceRequest& request, EchoServiceReply& reply) {
    calls.push_back("echo " + std::to_string(request.dataSize));
    if (onSend) onSend();
    echoRequests.push_back(request);
    echoData.emplace_back(request.data, request.data + request.dataSize);
    echoOptions.emplace_back(request.options, request.options + request.optionsSize);
    if (echoes.empty()) {
        advanceMs(request.timeoutMs);
        return 0;
    }
    FakeEcho echo = echoes.front();
    echoes.pop_front();
    advanceMs(echo.elapsedMs);
    if (echo.replies != 1) return echo.replies;
    reply = echo.reply;
    if (echo.echoRequestSize) reply.dataSize = request.dataSize;
    if (reply.address == IpAddress()) reply.address = request.destination;
    return 1;
}

// Many echoes in flight: the next scripted echo answers after its own time, or never.
EchoStart FakePlatform::startEcho(EchoHandle, const EchoServiceRequest& request) {
    calls.push_back("echo " + std::to_string(request.dataSize));
    if (onSend) onSend();
    echoRequests.push_back(request);
    echoData.emplace_back(request.data, request.data + request.dataSize);
    echoOptions.emplace_back(request.options, request.options + request.optionsSize);
    EchoStart start{true, nextEchoSequence_++, std::nullopt};
    if (echoes.empty()) return start;
    FakeEcho echo = echoes.front();
    echoes.pop_front();
    if (echo.replies != 1) return start;
    EchoAnswer answer{start.sequence, echo.reply, echo.quotedDestination};
    if (echo.echoRequestSize) answer.reply.dataSize = request.dataSize;
    if (answer.reply.address == IpAddress()) answer.reply.address = request.destination;
    answersDue_.emplace_back(nowNs + int64_t{echo.elapsedMs} * 1'000'000, answer);
    return start;
}

std::optional<EchoAnswer> FakePlatform::collectEcho(EchoHandle, int64_t timeoutNs) {
    calls.push_back("collect");
    auto first = std::min_element(answersDue_.begin(), answersDue_.end(),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    int64_t until = nowNs + std::max<int64_t>(timeoutNs, 0);
    if (first == answersDue_.end() || first->first > until) {
        nowNs = until;
        return std::nullopt;
    }
    nowNs = std::max(nowNs, first->first);
    EchoAnswer answer = first->second;
    answersDue_.erase(first);
    return answer;
}

void FakePlatform::closeEchoHandle(EchoHandle) {
    calls.push_back("close echo handle");
}

void FakePlatform::sleep(uint32_t ms) {
    calls.push_back("sleep " + std::to_string(ms));
    if (sleepMarks != nullptr) *sleepMarks += "<sleep " + std::to_string(ms) + ">\n";
    advanceMs(ms);
    if (onSleep) onSleep(ms);
}

void FakePlatform::beep(uint32_t frequencyHz, uint32_t durationMs) {
    calls.push_back("beep " + std::to_string(frequencyHz) + " " + std::to_string(durationMs));
}

std::string FakePlatform::echoServiceRemedy(bool rawSocketRefused) {
    return rawSocketRefused ? "<remedy: raw-socket right or ping sockets>\n"
                            : "<remedy: ping sockets>\n";
}

bool FakePlatform::writeStandardOutput(const char* text, size_t length) {
    if (readerGoneAfter && standardOutputWrites >= *readerGoneAfter) return false;
    ++standardOutputWrites;
    if (standardOutput != nullptr) standardOutput->append(text, length);
    return true;
}

FileLookup FakePlatform::findFile(const std::string& path) {
    calls.push_back("find " + path);
    if (std::find(directories.begin(), directories.end(), path) != directories.end()) {
        return {true, 4096};
    }
    auto found = files.find(path);
    if (found == files.end()) return {};
    if (pipes.count(path) != 0) return {true, 0, false};
    return {true, found->second.size()};
}

FileHandle FakePlatform::openFileForReading(const std::string& path) {
    calls.push_back("open " + path);
    auto found = files.find(path);
    if (found == files.end()) return invalidFile;
    openFile_ = &found->second;
    openPipe_ = pipes.count(path) != 0;
    readOffset_ = 0;
    return 7;
}

FileHandle FakePlatform::openStandardInput() {
    calls.push_back("open standard input");
    if (!standardInput) return invalidFile;
    openFile_ = &*standardInput;
    openPipe_ = true;
    readOffset_ = 0;
    return 0;
}

long FakePlatform::readFile(FileHandle, uint8_t* buffer, size_t length) {
    calls.push_back("read " + std::to_string(length));
    if (openFile_ == nullptr) return -1;
    const std::string& contents = *openFile_;
    if (failReadAfter && readOffset_ >= *failReadAfter) return -1;
    size_t end = contents.size() > shrinkBy ? contents.size() - shrinkBy : 0;
    size_t available = end > readOffset_ ? end - readOffset_ : 0;
    size_t count = std::min(length, available);
    if (openPipe_ && pipeBurst != 0) count = std::min(count, pipeBurst);
    std::memcpy(buffer, contents.data() + readOffset_, count);
    readOffset_ += count;
    return static_cast<long>(count);
}

void FakePlatform::closeFile(FileHandle) {
    calls.push_back("close file");
}

std::vector<uint8_t> makeEchoReplyDatagram(uint16_t identifier, uint16_t sequence, int32_t dataSize,
                                           uint8_t ttl, uint8_t tos,
                                           const std::vector<uint8_t>& ipOptions,
                                           uint8_t icmpType) {
    size_t headerLength = 20 + ipOptions.size();
    std::vector<uint8_t> datagram(headerLength + 8 + static_cast<size_t>(dataSize), 0);
    datagram[0] = static_cast<uint8_t>(0x40 | (headerLength / 4));
    datagram[1] = tos;
    datagram[8] = ttl;
    datagram[9] = 1;
    std::copy(ipOptions.begin(), ipOptions.end(), datagram.begin() + 20);
    uint8_t* icmp = datagram.data() + headerLength;
    icmp[0] = icmpType;
    icmp[4] = static_cast<uint8_t>(identifier & 0xFF);
    icmp[5] = static_cast<uint8_t>(identifier >> 8);
    icmp[6] = static_cast<uint8_t>(sequence & 0xFF);
    icmp[7] = static_cast<uint8_t>(sequence >> 8);
    sealIcmpChecksum(datagram);
    return datagram;
}

std::vector<uint8_t> makeEchoReplyMessage6(uint16_t identifier, uint16_t sequence, int32_t dataSize,
                                           uint8_t icmpType) {
    std::vector<uint8_t> message(8 + static_cast<size_t>(dataSize), 0);
    message[0] = icmpType;
    message[4] = static_cast<uint8_t>(identifier & 0xFF);
    message[5] = static_cast<uint8_t>(identifier >> 8);
    message[6] = static_cast<uint8_t>(sequence & 0xFF);
    message[7] = static_cast<uint8_t>(sequence >> 8);
    return message;
}

std::vector<uint8_t> makeIcmpErrorDatagram(Ipv4 quotedDestination, uint16_t identifier,
                                           uint16_t sequence, uint8_t icmpType) {
    std::vector<uint8_t> datagram(20 + 8 + 20 + 8, 0);
    datagram[0] = 0x45;
    datagram[8] = 64;
    datagram[9] = 1;
    datagram[20] = icmpType;
    datagram[21] = 1;
    uint8_t* quote = datagram.data() + 28;
    quote[0] = 0x45;
    quote[8] = 63;
    quote[9] = 1;
    std::memcpy(quote + 16, &quotedDestination, sizeof quotedDestination);
    quote[20] = 8;
    quote[24] = static_cast<uint8_t>(identifier & 0xFF);
    quote[25] = static_cast<uint8_t>(identifier >> 8);
    quote[26] = static_cast<uint8_t>(sequence & 0xFF);
    quote[27] = static_cast<uint8_t>(sequence >> 8);
    sealIcmpChecksum(datagram);
    return datagram;
}

void sealIcmpChecksum(std::vector<uint8_t>& datagram) {
    size_t headerLength = (datagram[0] & 0x0Fu) * 4u;
    uint8_t* icmp = datagram.data() + headerLength;
    icmp[2] = icmp[3] = 0;
    uint16_t checksum = internetChecksum(icmp, datagram.size() - headerLength);
    icmp[2] = static_cast<uint8_t>(checksum & 0xFF);
    icmp[3] = static_cast<uint8_t>(checksum >> 8);
}

namespace {

// The state a run leaves behind in the process, whatever the platform.
void resetProcessState() {
    captureConsoleForTest(nullptr);
    holdOutput(nullptr);
    divertMessages(nullptr);
    results().reset();
    closeLogFile();
    stopRequested = false;
    breakRequested = false;
    interruptCount = 0;
    CPerfTimer::ResetCalibrationForTest();
    seedRandom(1);
}

}  // namespace

ScopedFakePlatform::ScopedFakePlatform() {
    resetProcessState();
    setPlatform(&fake);
    fake.standardOutput = &output;
    captureStandardErrorForTest(&errors);
}

ScopedFakePlatform::~ScopedFakePlatform() {
    captureStandardErrorForTest(nullptr);
    resetProcessState();
    setPlatform(nullptr);
}

}  // namespace quilvane::testing
