// The kernel socket filters that keep other programs' ICMP and ICMPv6 traffic off the raw sockets.
#include "support/linux/reply_filter.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#include <iterator>

namespace quilvane::linux_detail {

namespace {

constexpr uint32_t keepWhole = 0xFFFFFFFFu;
constexpr uint32_t echoReply = 0;
constexpr uint32_t echoRequest = 8;
constexpr uint32_t icmpProtocol = 1;
constexpr uint32_t icmpv6EchoRequest = 128;
constexpr uint32_t icmpv6EchoReply = 129;
constexpr uint32_t icmpv6NextHeader = 58;
constexpr uint32_t ipv6HeaderSize = 40;

bool attach(int descriptor, sock_filter* program, size_t length) {
    sock_fprog filter{static_cast<unsigned short>(length), program};
    return setsockopt(descriptor, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

// Loads read big-endian; the identifier lies in the message low byte first.
uint32_t asLoaded(uint16_t identifier) {
    return static_cast<uint32_t>((identifier & 0xFFu) << 8 | identifier >> 8);
}

}  // namespace

bool attachReplyFilter(int descriptor, uint16_t identifier) {
    const uint32_t ours = asLoaded(identifier);
    // A raw IPv4 socket sees the IP header first: X holds its length, the ICMP message follows.
    // An error quotes the offending datagram 8 bytes into the message, with a header of its own
    // length (our requests carry a record-route option with -r).
    sock_filter program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, echoReply, 6, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 7, 0),   // destination unreachable
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4, 6, 0),   // source quench
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 5, 5, 0),   // redirect
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 11, 4, 0),  // time exceeded
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 12, 3, 0),  // parameter problem
        BPF_STMT(BPF_RET | BPF_K, 0),
        // Echo reply: its own identifier.
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ours, 11, 12),
        // Error: the quoted datagram is ICMP, an echo request, with our identifier.
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmpProtocol, 0, 10),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, echoRequest, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ours, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, keepWhole),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return attach(descriptor, program, std::size(program));
}

bool attachIpv6ReplyFilter(int descriptor, uint16_t identifier) {
    const uint32_t ours = asLoaded(identifier);
    // A raw IPv6 socket sees the ICMPv6 message first. An error quotes the offending packet 8
    // bytes in: our requests carry no extension headers, so the echo request follows the fixed
    // header at once. A load past the end of the packet drops it.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmpv6EchoReply, 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 6, 0),  // destination unreachable
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 2, 5, 0),  // packet too big
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 4, 0),  // time exceeded
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4, 3, 0),  // parameter problem
        BPF_STMT(BPF_RET | BPF_K, 0),
        // Echo reply: its own identifier.
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ours, 6, 7),
        // Error: the quoted packet's next header is ICMPv6, an echo request with our identifier.
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 6),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmpv6NextHeader, 0, 5),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + ipv6HeaderSize),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmpv6EchoRequest, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 8 + ipv6HeaderSize + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ours, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, keepWhole),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return attach(descriptor, program, std::size(program));
}

void discardQueuedDatagrams(int descriptor) {
    unsigned char scrap;
    while (recv(descriptor, &scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) >= 0 ||
           errno == EINTR) {
    }
}

}  // namespace quilvane::linux_detail
