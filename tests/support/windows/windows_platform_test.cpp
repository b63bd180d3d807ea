// The Windows platform layer on real calls: resolver, raw ICMP and ICMPv6 sockets and the echo
// service over loopback (only where the runner put Wine's server in a private network), clocks,
// files and console control.
#include "support/windows/windows_platform.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/console_control.h"
#include "support/inet.h"
#include "support/raw_icmp_helpers.h"
#include "support/system_helpers.h"

namespace quilvane {
namespace {

using testing::awaitType;
using testing::echoRequest;
using testing::ourIdentifier;
using testing::readOption;
using testing::succeeded;

const Ipv4 loopback = inetAddr("127.0.0.1");

IpAddress ipv6(const char* text, uint32_t scopeId = 0) {
    return IpAddress::fromIpv6(*parseIpv6(text), scopeId);
}

const IpAddress loopback6 = ipv6("::1");

// Wine keeps raw sockets in its server process, which lives in the network where it was started:
// the runner says so when that is a private one with loopback only.
bool privateNetwork() {
    const char* flag = std::getenv("QUILVANE_PRIVATE_NETWORK");
    return flag != nullptr && std::string(flag) == "1";
}

#define SKIP_OUTSIDE_A_PRIVATE_NETWORK()                                                      \
    if (!privateNetwork())                                                                    \
    GTEST_SKIP() << "needs Wine's server in a private network (QUILVANE_PRIVATE_NETWORK=1); " \
                    "tools/run-tests sets one up"

class WindowsPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(system.startSockets()); }
    void TearDown() override {
        system.stopSockets();
        stopRequested.store(false);
        breakRequested.store(false);
        interruptCount.store(0);
    }
    WindowsPlatform system;
};

TEST_F(WindowsPlatformTest, DottedTextResolvesToItselfAndBadNamesCarryAHostError) {
    struct Case {
        const char* text;
        FamilyChoice family;
        std::optional<IpAddress> address;  // none: a resolver error
    };
    for (Case c : {
             Case{"127.0.0.1", FamilyChoice::Any, loopback},
             Case{"10.1", FamilyChoice::Any, inetAddr("10.0.0.1")},
             Case{"255.255.255.255", FamilyChoice::Any, inaddrNone},
             Case{"127.0.0.1", FamilyChoice::Ipv4Only, loopback},
             Case{"127.0.0.1", FamilyChoice::Ipv6Only, std::nullopt},
             Case{"::1", FamilyChoice::Any, loopback6},
             Case{"::1", FamilyChoice::Ipv6Only, loopback6},
             Case{"::1", FamilyChoice::Ipv4Only, std::nullopt},
             Case{"2001:db8::5", FamilyChoice::Any, ipv6("2001:db8::5")},
             Case{"fe80::1%4", FamilyChoice::Any, ipv6("fe80::1", 4)},
             Case{"no-such-host.invalid", FamilyChoice::Any, std::nullopt},
             Case{"no-such-host.invalid", FamilyChoice::Ipv6Only, std::nullopt},
         }) {
        SystemResult<HostEntry> entry = system.getHostByName(c.text, c.family);
        std::string what = std::string(c.text) + " as " + std::to_string(int(c.family));
        if (!c.address) {
            ASSERT_FALSE(entry.ok()) << what << " gave " << addressText(entry.value.address);
            EXPECT_GE(entry.error->number, wsa::hostNotFound) << what;
            EXPECT_LE(entry.error->number, wsa::noData) << what;
            continue;
        }
        ASSERT_TRUE(entry.ok()) << what << ": " << entry.error->number;
        EXPECT_EQ(entry.value.officialName, c.text);
        EXPECT_EQ(addressText(entry.value.address), addressText(*c.address)) << what;
        EXPECT_EQ(entry.value.address, *c.address) << what;
    }
    // An address without a name has none, rather than its own text as one.
    EXPECT_EQ(system.getHostByAddr(ipv6("2001:db8::1")), std::nullopt);
}

// The system's text ends in one line end and no carriage return; Wine has no text for some
// numbers (10038 among them), which leaves the text empty.
void expectOneLineOrNone(const SystemError& error) {
    if (error.text.empty()) return;
    EXPECT_EQ(error.text.find('\r'), std::string::npos) << error.number;
    EXPECT_EQ(error.text.find('\n'), error.text.size() - 1) << error.number;
}

TEST_F(WindowsPlatformTest, FailedCallsCarryTheirNumberAndTextWithOneLineEnd) {
    SystemError known = windowsError(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(known.text.empty());
    expectOneLineOrNone(known);
    for (int number : {WSAETIMEDOUT, WSAEACCES, WSAHOST_NOT_FOUND, WSAEMSGSIZE}) {
        expectOneLineOrNone(windowsError(number));
    }
    SystemResult<int> read = system.getSocketOption(invalidSocket, SocketOption::Ttl);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error->number, WSAENOTSOCK);
    expectOneLineOrNone(*read.error);
    std::optional<SystemError> closed = system.closeSocket(invalidSocket);
    ASSERT_TRUE(closed.has_value());
    EXPECT_EQ(closed->number, WSAENOTSOCK);
}

// Wine's server makes raw sockets of ICMP only: it refuses ICMPv6 as a protocol.
class WindowsFamilyTest : public WindowsPlatformTest,
                          public ::testing::WithParamInterface<AddressFamily> {};

std::string familyName(const ::testing::TestParamInfo<AddressFamily>& info) {
    return info.param == AddressFamily::V6 ? "Ipv6" : "Ipv4";
}

INSTANTIATE_TEST_SUITE_P(Families, WindowsFamilyTest,
                         ::testing::Values(AddressFamily::V4, AddressFamily::V6), familyName);

#define SKIP_WITHOUT_RAW_ICMPV6(opened)                                 \
    if (!(opened).ok() && (opened).error->number == WSAEPROTONOSUPPORT) \
    GTEST_SKIP() << "this system makes no raw ICMPv6 socket (10043): Wine's server has none"

TEST_P(WindowsFamilyTest, RawSocketOptionsReadBackAsSet) {
    AddressFamily family = GetParam();
    SystemResult<SocketHandle> opened = system.openRawSocket(family);
    SKIP_WITHOUT_RAW_ICMPV6(opened);
    ASSERT_TRUE(opened.ok()) << opened.error->number << " " << opened.error->text;
    struct Case {
        SocketOption option;
        int value;
    };
    for (Case c : {Case{SocketOption::ReceiveTimeout, 1500}, Case{SocketOption::SendTimeout, 700},
                   Case{SocketOption::Ttl, 17}, Case{SocketOption::Tos, 0x28},
                   Case{SocketOption::DontFragment, 1}, Case{SocketOption::DontFragment, 0},
                   Case{SocketOption::ReceiveBuffer, 1 << 20}}) {
        EXPECT_TRUE(succeeded(system.setSocketOption(opened.value, c.option, &c.value, 4)))
            << static_cast<int>(c.option);
        int value = -1;
        EXPECT_TRUE(readOption(system, opened.value, c.option, value));
        if (c.option == SocketOption::ReceiveBuffer) {
            EXPECT_GE(value, c.value);
        } else {
            EXPECT_EQ(value, c.value) << static_cast<int>(c.option);
        }
    }
    // IPv6 has no IP options: the option fails rather than being set at another level.
    const uint8_t recordRoute[11] = {7, 11, 4};
    EXPECT_EQ(
        succeeded(system.setSocketOption(opened.value, SocketOption::IpOptions, recordRoute, 11)),
        family == AddressFamily::V4);
    EXPECT_TRUE(succeeded(system.closeSocket(opened.value)));
}

// An echo reply as the raw socket of either family reads it: IPv4 datagrams start at the IP
// header, IPv6 ones at the ICMPv6 message, with the hop limit beside it.
struct EchoReplySeen {
    Datagram datagram;
    std::vector<uint8_t> icmp;
    uint16_t sequence() const { return static_cast<uint16_t>(icmp[6] << 8 | icmp[7]); }
};

std::optional<EchoReplySeen> awaitEchoReply(Platform& system, SocketHandle socket,
                                            AddressFamily family) {
    const uint8_t replyType = family == AddressFamily::V6 ? 129 : 0;
    std::vector<uint8_t> bytes(70'000);
    for (int i = 0; i < 20; ++i) {
        if (!system.waitReadable(socket, 2000).value) return std::nullopt;
        SystemResult<Datagram> received = system.receiveFrom(socket, bytes.data(), bytes.size());
        if (!received.ok()) continue;
        size_t header = family == AddressFamily::V4 ? (bytes[0] & 0x0F) * 4u : 0;
        if (received.value.length < header + 8 || bytes[header] != replyType) continue;
        return EchoReplySeen{
            received.value,
            {bytes.begin() + static_cast<long>(header), bytes.begin() + received.value.length}};
    }
    return std::nullopt;
}

TEST_P(WindowsFamilyTest, RawLoopbackRoundTripThenAnEmptyQueueReadsAsATimeOut) {
    SKIP_OUTSIDE_A_PRIVATE_NETWORK();
    AddressFamily family = GetParam();
    bool v6 = family == AddressFamily::V6;
    SystemResult<SocketHandle> opened = system.openRawSocket(family);
    SKIP_WITHOUT_RAW_ICMPV6(opened);
    ASSERT_TRUE(opened.ok()) << opened.error->text;
    SocketHandle socket = opened.value;
    // A second raw socket of the family gets its own copy of every message.
    SocketHandle other = system.openRawSocket(family).value;
    int ttl = 17;
    EXPECT_TRUE(succeeded(system.setSocketOption(socket, SocketOption::Ttl, &ttl, 4)));
    auto request = echoRequest(ourIdentifier(system), 7, 56);
    // The checksum written is IPv4's: the system writes the ICMPv6 one itself.
    if (v6) request[0] = 128;
    SystemResult<size_t> sent =
        system.sendTo(socket, request.data(), request.size(), v6 ? loopback6 : loopback);
    ASSERT_TRUE(sent.ok()) << sent.error->text;
    EXPECT_EQ(sent.value, 64u);
    auto reply = awaitEchoReply(system, socket, family);
    ASSERT_TRUE(reply.has_value()) << int(family);
    EXPECT_EQ(reply->datagram.sender, v6 ? loopback6 : IpAddress(loopback));
    EXPECT_EQ(reply->sequence(), 7);
    EXPECT_EQ(reply->icmp.size(), 64u);
    EXPECT_EQ(reply->datagram.hopLimit.has_value(), v6) << "the hop limit comes beside";

    uint8_t buffer[1500];
    // The IPv4 request itself came back on the raw socket too; what is left is the empty queue.
    for (int i = 0; i < 10 && system.receiveQueued(socket, buffer, sizeof buffer).ok(); ++i) {
    }
    SystemResult<Datagram> none = system.receiveQueued(socket, buffer, sizeof buffer);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error->number, wsa::timedOut);
    EXPECT_FALSE(system.waitReadableNs(socket, invalidSocket, 0).value);
    EXPECT_TRUE(system.waitReadableNs(socket, other, 0).value) << "the other socket's copies";

    int64_t before = system.performanceCounter();
    SystemResult<bool> waited = system.waitReadable(socket, 120);
    int64_t elapsedMs =
        (system.performanceCounter() - before) * 1000 / system.performanceFrequency();
    ASSERT_TRUE(waited.ok());
    EXPECT_FALSE(waited.value);
    EXPECT_GE(elapsedMs, 119);
    EXPECT_TRUE(succeeded(system.closeSocket(socket)));
    system.closeSocket(other);
}

TEST_F(WindowsPlatformTest, SecondControlCEndsAWaitAndFailsTheReceive) {
    SystemResult<SocketHandle> opened = system.openRawSocket(AddressFamily::V4);
    ASSERT_TRUE(opened.ok()) << opened.error->text;
    interruptCount.store(2);
    int64_t before = system.performanceCounter();
    SystemResult<bool> waited = system.waitReadable(opened.value, 5000);
    int64_t elapsedMs =
        (system.performanceCounter() - before) * 1000 / system.performanceFrequency();
    EXPECT_FALSE(waited.value);
    EXPECT_LT(elapsedMs, 1000);
    uint8_t buffer[100];
    SystemResult<Datagram> received = system.receiveFrom(opened.value, buffer, sizeof buffer);
    ASSERT_FALSE(received.ok());
    EXPECT_EQ(received.error->number, wsa::timedOut);
    system.closeSocket(opened.value);
}

// Whether this system's IP helper library makes ICMPv6 echo handles; Wine's fails the call.
bool systemHasIpv6EchoService() {
    HMODULE library = LoadLibraryA("IPHLPAPI.DLL");
    if (library == nullptr) return false;
    FARPROC create = GetProcAddress(library, "Icmp6CreateFile");
    FARPROC close = GetProcAddress(library, "IcmpCloseHandle");
    if (create == nullptr || close == nullptr) return false;
    // The published signatures; GetProcAddress only knows a generic one.
    HANDLE handle = reinterpret_cast<HANDLE(WINAPI*)()>(reinterpret_cast<void*>(create))();
    if (handle == INVALID_HANDLE_VALUE) return false;
    reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(reinterpret_cast<void*>(close))(handle);
    return true;
}

// One handle serves both families; without an IPv6 echo service an IPv6 request is a general
// failure at once, and the handle still serves IPv4.
TEST_P(WindowsFamilyTest, IcmpDllLoadsAndAnswersOverLoopback) {
    ASSERT_EQ(system.loadEchoService(), EchoServiceState::Ready);
    bool v6 = GetParam() == AddressFamily::V6;
    bool served = !v6 || systemHasIpv6EchoService();
    if (served) SKIP_OUTSIDE_A_PRIVATE_NETWORK();
    EchoHandle handle = system.createEchoHandle();
    ASSERT_NE(handle, invalidEchoHandle);
    std::vector<uint8_t> data(32, 'q');
    EchoServiceRequest request;
    request.destination = v6 ? loopback6 : loopback;
    request.data = data.data();
    request.dataSize = static_cast<uint16_t>(data.size());
    request.ttl = 64;
    request.timeoutMs = 2000;
    EchoServiceReply reply;
    int64_t before = system.performanceCounter();
    ASSERT_EQ(system.sendEcho(handle, request, reply), 1);
    int64_t elapsedMs =
        (system.performanceCounter() - before) * 1000 / system.performanceFrequency();
    EXPECT_EQ(reply.status, served ? ipStatus::success : ipStatus::generalFailure);
    EXPECT_EQ(reply.address, request.destination);
    EXPECT_EQ(reply.dataSize, served ? 32 : 0);
    // The IPv6 reply record has no hop limit.
    EXPECT_EQ(reply.ttl > 0, !v6);
    if (!served) {
        EXPECT_LT(elapsedMs, 500) << "answered at once";
        EchoStart start = system.startEcho(handle, request);
        EXPECT_TRUE(start.sent);
        std::optional<EchoAnswer> answer = system.collectEcho(handle, 0);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->sequence, start.sequence);
        EXPECT_EQ(answer->reply.status, ipStatus::generalFailure);
        if (privateNetwork()) {
            request.destination = loopback;
            ASSERT_EQ(system.sendEcho(handle, request, reply), 1);
            EXPECT_EQ(reply.status, ipStatus::success) << "the handle still serves IPv4";
        }
    }
    system.closeEchoHandle(handle);
    EXPECT_EQ(system.sendEcho(handle, request, reply), 0) << "a closed handle sends nothing";
}

TEST_F(WindowsPlatformTest, ClocksAndPauses) {
    EXPECT_GT(system.performanceFrequency(), 1);
    EXPECT_GT(system.calendarSeconds(), 1'600'000'000);
    EXPECT_NEAR(static_cast<double>(system.realTimeNs() / 1'000'000'000),
                static_cast<double>(system.calendarSeconds()), 2.0);
    LocalTime now = system.localTime();
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_EQ(system.currentThreadId(), GetCurrentThreadId());

    int64_t before = system.performanceCounter();
    system.sleep(30);
    int64_t pausedMs =
        (system.performanceCounter() - before) * 1000 / system.performanceFrequency();
    EXPECT_GE(pausedMs, 30);
    stopRequested.store(true);
    before = system.performanceCounter();
    system.sleep(5000);
    pausedMs = (system.performanceCounter() - before) * 1000 / system.performanceFrequency();
    EXPECT_LT(pausedMs, 1000) << "a stop request ends the pause at once";
}

// Raises a console control event in this process the way the system does: kernel32's CtrlRoutine
// calls the registered handlers on a thread of its own. GenerateConsoleCtrlEvent needs a console,
// which a test program under ctest lacks. False when neither is there.
bool raiseConsoleEvent(DWORD event) {
    if (GenerateConsoleCtrlEvent(event, 0)) return true;
    FARPROC routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine");
    if (routine == nullptr) return false;
    // The published thread procedure signature; GetProcAddress only knows a generic one.
    auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine));
    HANDLE thread =
        CreateThread(nullptr, 0, start, reinterpret_cast<void*>(uintptr_t{event}), 0, nullptr);
    if (thread == nullptr) return false;
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    return true;
}

// Control-Break cannot be sent from a Linux terminal to a program under Wine: the test raises the
// events itself.
TEST_F(WindowsPlatformTest, ControlCStopsAndCountsAndControlBreakBreaks) {
    installConsoleControlHandler();
    struct Case {
        DWORD event;
        bool stop, brk;
        uint32_t count;
    };
    for (Case c : {Case{CTRL_BREAK_EVENT, false, true, 0}, Case{CTRL_C_EVENT, true, false, 1}}) {
        stopRequested.store(false);
        breakRequested.store(false);
        interruptCount.store(0);
        if (!raiseConsoleEvent(c.event)) {
            GTEST_SKIP() << "no way to raise the event (error " << GetLastError() << ")";
        }
        for (int i = 0; i < 200 && !stopRequested.load() && !breakRequested.load(); ++i) Sleep(5);
        EXPECT_EQ(stopRequested.load(), c.stop) << c.event;
        EXPECT_EQ(breakRequested.load(), c.brk) << c.event;
        EXPECT_EQ(interruptCount.load(), c.count) << c.event;
    }
}

TEST_F(WindowsPlatformTest, HostFilesAreFoundSizedAndReadButDirectoriesAreNotOpened) {
    testing::TemporaryDirectory directory;
    std::string path = directory.path("hosts.txt");
    testing::writeWholeFile(path, "10.0.0.1,10.0.0.2");
    FileLookup found = system.findFile(path);
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.size, 17u);
    EXPECT_FALSE(system.findFile(directory.path("missing.txt")).found);

    FileHandle file = system.openFileForReading(path);
    ASSERT_NE(file, invalidFile);
    std::vector<uint8_t> bytes(64);
    EXPECT_EQ(system.readFile(file, bytes.data(), bytes.size()), 17);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 17), "10.0.0.1,10.0.0.2");
    EXPECT_EQ(system.readFile(file, bytes.data(), bytes.size()), 0);
    system.closeFile(file);
    EXPECT_EQ(system.readFile(file, bytes.data(), bytes.size()), -1) << "closed";

    testing::makeDirectory(directory.path("folder"));
    EXPECT_EQ(system.openFileForReading(directory.path("folder")), invalidFile);
}

}  // namespace
}  // namespace quilvane
