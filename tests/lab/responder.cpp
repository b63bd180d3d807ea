// Test responder for the lab: answers ICMP echo requests from a raw socket, with injected faults.
//
// It runs in a namespace whose kernel ignores echo requests, takes the requests sent to one
// address (--address, IPv4 or IPv6), and answers each from that address. Options pick the faults;
// by default they apply to every request, with --only to the listed requests (counted from 1):
//
//   --delay MS          send everything for the request MS milliseconds late
//   --jitter US         move each such delay by up to US microseconds either way, evenly spread
//   --drop              send nothing at all
//   --other N           first N ICMP messages of --other-type/--other-code (default 3/1,
//                       destination host unreachable) quoting the request, like a router's error
//                       (fragmentation needed, 3/4, names an MTU of 1280)
//   --foreign N         then N echo replies with identifiers that are not the request's
//   --stale N           then N echo replies with the request's identifier and earlier sequences
//   --truncate N        answer with the echo reply cut to its first N ICMP bytes
//   --garbage N         answer with N bytes of garbage (no echo reply type) instead
//   --no-reply          send the messages above but no echo reply
//   --duplicate N       send the echo reply N more times
//   --bad-checksum      send the echo reply with its ICMP checksum off by one
//   --ip-options HEX    IP options (hex bytes, padded with zeros to whole words) in the header of
//                       everything sent; nothing checks that they make sense
//   --ttl N, --tos N    TTL and TOS of everything sent (default 64, the request's TOS)
//   --from ADDR         send everything for the request from ADDR instead, like another host
//                       (or a forger) answering with the request's identifier and number
//   --quote ADDR        the messages of --other quote a request sent to ADDR instead
//                       (over IPv6 the messages of --other are address unreachable, 1/3)
//   --replay K          with request i, also send the echo reply made for request i - K, as it
//                       was (with --only or --no-reply too): K = 256 for a host pinged once in
//                       every 256 requests brings back a reply whose number has come round
//   --data-off          the echo reply's first data byte changed (the time stamp of a raw
//                       request): a reply to an earlier request whose number has come round
//
// It prints "ready" on standard output once it listens, and one line per request on standard
// error with --verbose. SIGTERM or SIGINT end it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

void onSignal(int) {
    stopping = 1;
}

struct Options {
    in_addr_t address = INADDR_NONE;
    bool ipv6 = false;  // the addresses below replace the IPv4 ones
    in6_addr address6{};
    in6_addr from6{};
    in6_addr quote6{};
    bool from6Given = false;
    bool quote6Given = false;
    std::set<long> only;  // empty: every request
    long delayMs = 0;
    long jitterUs = 0;
    bool drop = false;
    long other = 0;
    int otherType = 3;
    int otherCode = 1;
    long foreign = 0;
    long stale = 0;
    long truncate = -1;
    long garbage = -1;
    bool noReply = false;
    long duplicate = 0;
    bool badChecksum = false;
    std::vector<uint8_t> ipOptions;
    int ttl = 64;
    int tos = -1;                   // -1: the request's
    in_addr_t from = INADDR_NONE;   // INADDR_NONE: the address
    in_addr_t quote = INADDR_NONE;  // INADDR_NONE: the request's own destination
    bool dataOff = false;
    long replay = 0;
    bool verbose = false;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "lab_responder: %s\n", message.c_str());
    std::exit(2);
}

long number(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        fail(std::string("bad number: ") + text);
    }
    return value;
}

std::vector<uint8_t> hexBytes(const char* text) {
    std::string all(text);
    if (all.size() % 2 != 0 || all.size() > 80) fail("bad option bytes: " + all);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < all.size(); i += 2) {
        char* end = nullptr;
        std::string pair = all.substr(i, 2);
        long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) fail("bad option bytes: " + all);
        bytes.push_back(static_cast<uint8_t>(value));
    }
    while (bytes.size() % 4 != 0) bytes.push_back(0);
    return bytes;
}

std::set<long> numberList(const char* text) {
    std::set<long> values;
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        std::string piece =
            all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        values.insert(number(piece.c_str(), 1, 1000000000));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return values;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail("missing value for " + name);
            return argv[++i];
        };
        if (name == "--address") {
            const char* text = value();
            options.ipv6 = inet_pton(AF_INET6, text, &options.address6) == 1;
            options.address = options.ipv6 ? INADDR_ANY : inet_addr(text);
        } else if (name == "--only") {
            options.only = numberList(value());
        } else if (name == "--delay") {
            options.delayMs = number(value(), 0, 600000);
        } else if (name == "--jitter") {
            options.jitterUs = number(value(), 0, 600000000);
        } else if (name == "--drop") {
            options.drop = true;
        } else if (name == "--other") {
            options.other = number(value(), 0, 10000);
        } else if (name == "--other-type") {
            options.otherType = static_cast<int>(number(value(), 0, 255));
        } else if (name == "--other-code") {
            options.otherCode = static_cast<int>(number(value(), 0, 255));
        } else if (name == "--foreign") {
            options.foreign = number(value(), 0, 10000);
        } else if (name == "--stale") {
            options.stale = number(value(), 0, 10000);
        } else if (name == "--truncate") {
            options.truncate = number(value(), 0, 65535);
        } else if (name == "--garbage") {
            options.garbage = number(value(), 1, 65000);
        } else if (name == "--no-reply") {
            options.noReply = true;
        } else if (name == "--duplicate") {
            options.duplicate = number(value(), 0, 10000);
        } else if (name == "--bad-checksum") {
            options.badChecksum = true;
        } else if (name == "--ip-options") {
            options.ipOptions = hexBytes(value());
        } else if (name == "--ttl") {
            options.ttl = static_cast<int>(number(value(), 1, 255));
        } else if (name == "--tos") {
            options.tos = static_cast<int>(number(value(), 0, 255));
        } else if (name == "--from") {
            const char* text = value();
            options.from6Given = inet_pton(AF_INET6, text, &options.from6) == 1;
            if (!options.from6Given) options.from = inet_addr(text);
        } else if (name == "--quote") {
            const char* text = value();
            options.quote6Given = inet_pton(AF_INET6, text, &options.quote6) == 1;
            if (!options.quote6Given) options.quote = inet_addr(text);
        } else if (name == "--replay") {
            options.replay = number(value(), 1, 1000000);
        } else if (name == "--data-off") {
            options.dataOff = true;
        } else if (name == "--verbose") {
            options.verbose = true;
        } else {
            fail("unknown option " + name);
        }
    }
    if (options.address == INADDR_NONE) fail("--address is required");
    if (options.jitterUs > options.delayMs * 1000) fail("--jitter is longer than --delay");
    return options;
}

uint16_t checksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
    if (length % 2 != 0) sum += bytes[length - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void setChecksum(std::vector<uint8_t>& icmp) {
    if (icmp.size() < 4) return;
    icmp[2] = icmp[3] = 0;
    uint16_t sum = checksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<uint8_t>(sum >> 8);
    icmp[3] = static_cast<uint8_t>(sum & 0xFF);
}

// Identifier and sequence stay in the byte order the request carried them in.
void setWord(std::vector<uint8_t>& icmp, size_t offset, uint16_t bytesAsRead) {
    std::memcpy(icmp.data() + offset, &bytesAsRead, 2);
}
uint16_t word(const std::vector<uint8_t>& icmp, size_t offset) {
    uint16_t value;
    std::memcpy(&value, icmp.data() + offset, 2);
    return value;
}

// Sequence numbers are compared in the byte order the program writes them (little-endian).
uint16_t littleEndian(uint16_t bytesAsRead) {
    uint8_t b[2];
    std::memcpy(b, &bytesAsRead, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
uint16_t asBytes(uint16_t littleEndianValue) {
    uint8_t b[2] = {static_cast<uint8_t>(littleEndianValue & 0xFF),
                    static_cast<uint8_t>(littleEndianValue >> 8)};
    uint16_t value;
    std::memcpy(&value, b, 2);
    return value;
}

struct Outgoing {
    int64_t dueNs = 0;
    in_addr_t destination = 0;
    in6_addr destination6{};
    uint8_t tos = 0;
    std::vector<uint8_t> icmp;
};

int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class Responder {
  public:
    explicit Responder(const Options& options) : options_(options) {}

    void open() {
        if (options_.ipv6) {
            open6();
            return;
        }
        receiver_ = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (receiver_ < 0) fail(std::string("raw ICMP socket: ") + std::strerror(errno));
        // IPPROTO_RAW implies a header of our own: source address, TTL and length as we say.
        sender_ = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
        if (sender_ < 0) fail(std::string("raw IP socket: ") + std::strerror(errno));
    }

    void run() {
        // A delayed reply leaves when it is due, not up to the default 50 us slack later.
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        std::printf("ready\n");
        std::fflush(stdout);
        while (!stopping) {
            timespec dueIn{};
            timespec* waitFor = nullptr;
            if (!queue_.empty()) {
                int64_t untilDue = std::max<int64_t>(0, queue_.front().dueNs - nowNs());
                dueIn.tv_sec = static_cast<time_t>(untilDue / 1000000000);
                dueIn.tv_nsec = static_cast<long>(untilDue % 1000000000);
                waitFor = &dueIn;
            }
            pollfd readable{receiver_, POLLIN, 0};
            int ready = ppoll(&readable, 1, waitFor, nullptr);
            if (ready < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
            if (ready > 0) receive();
            sendDue();
        }
    }

  private:
    // One raw ICMPv6 socket receives the requests (with the address they were sent to) and sends
    // everything from any address of the block (transparent: the block is routed here, not
    // configured on an interface); the kernel computes the ICMPv6 checksums.
    void open6() {
        receiver_ = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
        if (receiver_ < 0) fail(std::string("raw ICMPv6 socket: ") + std::strerror(errno));
        int on = 1;
        if (setsockopt(receiver_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0 ||
            setsockopt(receiver_, IPPROTO_IPV6, IPV6_TRANSPARENT, &on, sizeof on) != 0) {
            fail(std::string("ICMPv6 socket options: ") + std::strerror(errno));
        }
        int hops = options_.ttl;
        setsockopt(receiver_, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops);
        sender_ = receiver_;
    }

    void receive6() {
        uint8_t buffer[65536];
        sockaddr_in6 from{};
        alignas(cmsghdr) unsigned char control[256];
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        ssize_t length = recvmsg(receiver_, &header, 0);
        if (length < 8 || buffer[0] != 128) return;
        in6_addr destination{};
        for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
             message = CMSG_NXTHDR(&header, message)) {
            if (message->cmsg_level == IPPROTO_IPV6 && message->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(message), sizeof info);
                destination = info.ipi6_addr;
            }
        }
        if (std::memcmp(&destination, &options_.address6, sizeof destination) != 0) return;
        // The request's header as an error quotes it.
        std::vector<uint8_t> ipHeader(40, 0);
        ipHeader[0] = 0x60;
        ipHeader[4] = static_cast<uint8_t>(length >> 8);
        ipHeader[5] = static_cast<uint8_t>(length & 0xFF);
        ipHeader[6] = IPPROTO_ICMPV6;
        ipHeader[7] = 64;
        std::memcpy(ipHeader.data() + 8, &from.sin6_addr, 16);
        std::memcpy(ipHeader.data() + 24,
                    options_.quote6Given ? &options_.quote6 : &options_.address6, 16);
        std::vector<uint8_t> request(buffer, buffer + length);
        Outgoing to;
        to.destination6 = from.sin6_addr;
        answer(ipHeader, request, to);
    }

    void receive() {
        if (options_.ipv6) {
            receive6();
            return;
        }
        uint8_t buffer[65536];
        ssize_t length = recv(receiver_, buffer, sizeof buffer, 0);
        if (length < 20) return;
        size_t headerLength = (buffer[0] & 0x0F) * 4u;
        if (headerLength < 20 || static_cast<size_t>(length) < headerLength + 8) return;
        in_addr_t source, destination;
        std::memcpy(&source, buffer + 12, 4);
        std::memcpy(&destination, buffer + 16, 4);
        if (destination != options_.address || buffer[headerLength] != 8) return;
        std::vector<uint8_t> ipHeader(buffer, buffer + headerLength);
        if (options_.quote != INADDR_NONE) std::memcpy(ipHeader.data() + 16, &options_.quote, 4);
        std::vector<uint8_t> request(buffer + headerLength, buffer + length);
        Outgoing to;
        to.destination = source;
        to.tos = options_.tos >= 0 ? static_cast<uint8_t>(options_.tos) : buffer[1];
        answer(ipHeader, request, to);
    }

    // What the options ask for in answer to one request, queued for when it is due; ipHeader is
    // the request's header as an error quotes it.
    void answer(const std::vector<uint8_t>& ipHeader, const std::vector<uint8_t>& request,
                const Outgoing& to) {
        ++requests_;
        if (options_.verbose) {
            std::fprintf(stderr, "request %ld: %zu ICMP bytes, sequence %u\n", requests_,
                         request.size(), littleEndian(word(request, 6)));
        }
        if (options_.replay > 0) {
            replies_.push_back(echoReply(request));
            if (replies_.size() > static_cast<size_t>(options_.replay)) {
                queue(nowNs(), to, replies_.front());
                replies_.erase(replies_.begin());
            }
        }
        bool faulty = options_.only.empty() || options_.only.count(requests_) != 0;
        int64_t due = nowNs() + (faulty ? options_.delayMs * 1000000 + jitterNs() : 0);
        if (!faulty) {
            queue(due, to, echoReply(request));
            return;
        }
        if (options_.drop) return;
        for (long i = 0; i < options_.other; ++i) {
            queue(due, to, otherMessage(ipHeader, request));
        }
        for (long i = 0; i < options_.foreign; ++i) {
            std::vector<uint8_t> reply = echoReply(request);
            uint16_t identifier = littleEndian(word(request, 4));
            setWord(reply, 4, asBytes(static_cast<uint16_t>(identifier + 1 + i % 65535)));
            setChecksum(reply);
            queue(due, to, reply);
        }
        for (long i = 0; i < options_.stale; ++i) {
            std::vector<uint8_t> reply = echoReply(request);
            uint16_t sequence = littleEndian(word(request, 6));
            setWord(reply, 6, asBytes(static_cast<uint16_t>(sequence - 1 - i % 65535)));
            setChecksum(reply);
            queue(due, to, reply);
        }
        if (options_.noReply) return;
        std::vector<uint8_t> answer;
        if (options_.garbage >= 0) {
            answer = garbage(static_cast<size_t>(options_.garbage));
        } else {
            answer = echoReply(request);
            if (options_.truncate >= 0 && static_cast<size_t>(options_.truncate) < answer.size()) {
                // A correct checksum over what is left, so that a ping socket sees it too.
                answer.resize(static_cast<size_t>(options_.truncate));
                setChecksum(answer);
            }
            if (options_.dataOff && answer.size() > 8) {
                ++answer[8];
                setChecksum(answer);
            }
            if (options_.badChecksum) ++answer[3];
        }
        for (long i = 0; i <= options_.duplicate; ++i) queue(due, to, answer);
    }

    int64_t jitterNs() {
        if (options_.jitterUs == 0) return 0;
        std::uniform_int_distribution<int64_t> spread(-options_.jitterUs * 1000,
                                                      options_.jitterUs * 1000);
        return spread(jitterSource_);
    }

    std::vector<uint8_t> echoReply(const std::vector<uint8_t>& request) const {
        std::vector<uint8_t> reply = request;
        reply[0] = options_.ipv6 ? 129 : 0;
        reply[1] = 0;
        setChecksum(reply);
        return reply;
    }

    std::vector<uint8_t> otherMessage(const std::vector<uint8_t>& ipHeader,
                                      const std::vector<uint8_t>& request) const {
        std::vector<uint8_t> message(8, 0);
        message[0] = static_cast<uint8_t>(options_.ipv6 ? 1 : options_.otherType);
        message[1] = static_cast<uint8_t>(options_.ipv6 ? 3 : options_.otherCode);
        if (!options_.ipv6 && options_.otherType == 3 && options_.otherCode == 4) {
            // Fragmentation needed: the next hop's MTU, which the kernel takes only when sane.
            message[6] = 1280 >> 8;
            message[7] = 1280 & 0xFF;
        }
        message.insert(message.end(), ipHeader.begin(), ipHeader.end());
        message.insert(message.end(), request.begin(), request.begin() + 8);
        setChecksum(message);
        return message;
    }

    std::vector<uint8_t> garbage(size_t length) {
        std::vector<uint8_t> bytes(length);
        for (auto& byte : bytes) {
            seed_ = seed_ * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(seed_ >> 16);
        }
        // Never an echo reply or request: garbage is to be judged as garbage.
        if (bytes[0] == 0 || bytes[0] == 8) bytes[0] = 0x2A;
        return bytes;
    }

    void queue(int64_t due, const Outgoing& to, std::vector<uint8_t> icmp) {
        Outgoing outgoing = to;
        outgoing.dueNs = due;
        outgoing.icmp = std::move(icmp);
        auto place = std::upper_bound(
            queue_.begin(), queue_.end(), outgoing,
            [](const Outgoing& a, const Outgoing& b) { return a.dueNs < b.dueNs; });
        queue_.insert(place, std::move(outgoing));
    }

    void sendDue() {
        int64_t now = nowNs();
        while (!queue_.empty() && queue_.front().dueNs <= now) {
            send(queue_.front());
            queue_.erase(queue_.begin());
        }
    }

    void send6(const Outgoing& outgoing) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_addr = outgoing.destination6;
        in6_pktinfo info{};
        info.ipi6_addr = options_.from6Given ? options_.from6 : options_.address6;
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof info)] = {};
        iovec part{const_cast<uint8_t*>(outgoing.icmp.data()), outgoing.icmp.size()};
        msghdr header{};
        header.msg_name = &to;
        header.msg_namelen = sizeof to;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* message = CMSG_FIRSTHDR(&header);
        message->cmsg_level = IPPROTO_IPV6;
        message->cmsg_type = IPV6_PKTINFO;
        message->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(message), &info, sizeof info);
        if (sendmsg(sender_, &header, 0) < 0) {
            std::fprintf(stderr, "lab_responder: sendmsg: %s\n", std::strerror(errno));
        }
    }

    void send(const Outgoing& outgoing) {
        if (options_.ipv6) {
            send6(outgoing);
            return;
        }
        std::vector<uint8_t> packet(20, 0);
        packet[0] = static_cast<uint8_t>(0x45 + options_.ipOptions.size() / 4);
        packet[1] = outgoing.tos;
        packet[8] = static_cast<uint8_t>(options_.ttl);
        packet[9] = IPPROTO_ICMP;
        const in_addr_t& source = options_.from != INADDR_NONE ? options_.from : options_.address;
        std::memcpy(packet.data() + 12, &source, 4);
        std::memcpy(packet.data() + 16, &outgoing.destination, 4);
        packet.insert(packet.end(), options_.ipOptions.begin(), options_.ipOptions.end());
        packet.insert(packet.end(), outgoing.icmp.begin(), outgoing.icmp.end());
        // The kernel fills in the total length, identification and header checksum.
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = outgoing.destination;
        if (sendto(sender_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) < 0) {
            std::fprintf(stderr, "lab_responder: sendto: %s\n", std::strerror(errno));
        }
    }

    Options options_;
    int receiver_ = -1;
    int sender_ = -1;
    long requests_ = 0;
    uint32_t seed_ = 20240607u;
    std::mt19937_64 jitterSource_{20240607u};
    std::vector<Outgoing> queue_;
    std::vector<std::vector<uint8_t>> replies_;  // the last --replay replies made, oldest first
};

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    Responder responder(options);
    responder.open();
    responder.run();
    return 0;
}
