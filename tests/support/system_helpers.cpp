// What the platform tests need from the system directly: temp files, signals, a private network.
#include "system_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/console_control.h"
#include "support/linux/capabilities.h"

namespace quilvane::testing {

bool runningAsRoot() {
    return geteuid() == 0;
}

uint64_t timerSlackNs() {
    return static_cast<uint64_t>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = ::testing::TempDir() + "quilvane-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeWholeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void makeDirectory(const std::string& path) {
    mkdir(path.c_str(), 0700);
}

void makeFifo(const std::string& path) {
    mkfifo(path.c_str(), 0600);
}

std::string standardOutputOf(const std::function<void()>& call) {
    TemporaryDirectory directory;
    std::string path = directory.path("stdout");
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, STDOUT_FILENO);
    close(file);
    call();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return readWholeFile(path);
}

ScopedDescriptorLimit::ScopedDescriptorLimit(uint64_t limit) {
    rlimit current{};
    getrlimit(RLIMIT_NOFILE, &current);
    saved_ = current.rlim_cur;
    current.rlim_cur = limit;
    setrlimit(RLIMIT_NOFILE, &current);
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
    rlimit current{};
    getrlimit(RLIMIT_NOFILE, &current);
    current.rlim_cur = saved_;
    setrlimit(RLIMIT_NOFILE, &current);
}

namespace {
std::thread interrupter;
}

int openUnfilteredRawSocket() {
    linux_detail::RawCapabilityScope capability;
    return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

int openUnfilteredRawIpv6Socket() {
    int descriptor;
    {
        linux_detail::RawCapabilityScope capability;
        descriptor = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    }
    int on = 1;
    if (descriptor >= 0) {
        setsockopt(descriptor, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
        setsockopt(descriptor, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
    }
    return descriptor;
}

void interruptThisThreadLater(bool quit, uint32_t delayMs) {
    pthread_t target = pthread_self();
    joinInterrupter();
    interrupter = std::thread([target, quit, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        pthread_kill(target, quit ? SIGQUIT : SIGINT);
    });
}

void joinInterrupter() {
    if (interrupter.joinable()) interrupter.join();
}

void restoreDefaultSignals() {
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    interruptCount.store(0);
}

namespace {

bool writeSetting(const char* path, const std::string& value) {
    std::ofstream setting(path);
    setting << value << '\n';
    setting.close();
    return static_cast<bool>(setting);
}

}  // namespace

PrivateNetwork::PrivateNetwork(const NetworkSettings& settings) {
    if (!runningAsRoot()) {
        failure_ = "not running as root";
        return;
    }
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || unshare(CLONE_NEWNET) != 0) {
        failure_ = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    active_ = true;
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = control >= 0 && ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (up && settings.loopbackMtu > 0) {
        request.ifr_mtu = settings.loopbackMtu;
        up = ioctl(control, SIOCSIFMTU, &request) == 0;
    }
    if (control >= 0) close(control);
    if (!up) failure_ = "cannot set up the loopback interface";
    if (!writeSetting("/proc/sys/net/ipv4/ping_group_range",
                      settings.allowPingSockets ? "0 2147483647" : "1 0") ||
        !writeSetting("/proc/sys/net/ipv4/icmp_echo_ignore_all",
                      settings.ignoreEchoRequests ? "1" : "0")) {
        failure_ = "cannot change the namespace's ICMP settings";
    }
    // A kernel without IPv6 (or with it disabled) has no such setting; the IPv4 tests go on.
    ipv6_ = writeSetting("/proc/sys/net/ipv6/icmp/echo_ignore_all",
                         settings.ignoreEchoRequests ? "1" : "0") &&
            readWholeFile("/proc/sys/net/ipv6/conf/lo/disable_ipv6") == "0\n";
    if (!failure_.empty()) active_ = false;
}

PrivateNetwork::~PrivateNetwork() {
    if (original_ >= 0) {
        if (setns(original_, CLONE_NEWNET) != 0) std::abort();
        close(original_);
    }
}

unsigned interfaceIndex(const std::string& name) {
    return if_nametoindex(name.c_str());
}

uint64_t effectiveCapabilities() {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 16);
    }
    return 0;
}

bool giveUpRawCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
    data[CAP_TO_INDEX(CAP_NET_RAW)].permitted &= ~CAP_TO_MASK(CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace quilvane::testing
