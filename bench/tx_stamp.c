// Where a round trip could start: the clock read just before the send call, or the software
// transmit stamp the kernel puts on the error queue (SO_TIMESTAMPING), on a raw ICMP socket or a
// ping socket. The benchmark runs it in the lab beside a capture and compares both with the
// moment the request passed the client's interface.
//
//   tx_stamp raw|ping ADDRESS COUNT INTERVAL_MS
//
// One line per echo on standard output, every time in the real-time clock's nanoseconds, the
// clock of the kernel's stamps and of the capture:
//   <identifier> <sequence> <clock read before the send> <transmit stamp or -1>
//   <receive stamp or -1>
// A last line "transmit-stamps N" counts the echoes that got a transmit stamp.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { payload = 56, identifier = 0x5171 };

static int64_t realNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static uint16_t checksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += (uint32_t)(bytes[i] << 8 | bytes[i + 1]);
    if (length % 2 != 0) sum += (uint32_t)bytes[length - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

// The software stamp of an SCM_TIMESTAMPING message, or -1.
static int64_t softwareStamp(struct msghdr* header) {
    for (struct cmsghdr* control = CMSG_FIRSTHDR(header); control != NULL;
         control = CMSG_NXTHDR(header, control)) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SCM_TIMESTAMPING &&
            control->cmsg_len >= CMSG_LEN(sizeof(struct scm_timestamping))) {
            struct scm_timestamping stamps;
            memcpy(&stamps, CMSG_DATA(control), sizeof stamps);
            return (int64_t)stamps.ts[0].tv_sec * 1000000000 + stamps.ts[0].tv_nsec;
        }
    }
    return -1;
}

static ssize_t readMessage(int socket, int flags, uint8_t* buffer, size_t capacity,
                           int64_t* stamp) {
    char control[512];
    struct iovec part = {buffer, capacity};
    struct sockaddr_in from;
    struct msghdr header = {&from, sizeof from, &part, 1, control, sizeof control, 0};
    ssize_t length = recvmsg(socket, &header, flags);
    *stamp = length >= 0 ? softwareStamp(&header) : -1;
    return length;
}

// The transmit stamp of the request just sent; a socket type without them gives up after 20 ms.
static int64_t transmitStamp(int socket) {
    uint8_t buffer[2048];
    int64_t deadline = realNs() + 20000000;
    for (;;) {
        int64_t stamp;
        if (readMessage(socket, MSG_ERRQUEUE | MSG_DONTWAIT, buffer, sizeof buffer, &stamp) >= 0) {
            if (stamp >= 0) return stamp;
            continue;
        }
        int64_t left = deadline - realNs();
        if (left <= 0) return -1;
        struct pollfd wait = {socket, 0, 0};  // POLLERR is reported whatever is asked for
        poll(&wait, 1, (int)(left / 1000000) + 1);
    }
}

static int64_t replyStamp(int socket, int raw, uint16_t sequence, uint16_t* replyIdentifier) {
    uint8_t buffer[2048];
    int64_t deadline = realNs() + 1000000000;
    for (;;) {
        int64_t left = deadline - realNs();
        if (left <= 0) return -1;
        struct pollfd wait = {socket, POLLIN, 0};
        if (poll(&wait, 1, (int)(left / 1000000) + 1) <= 0 || !(wait.revents & POLLIN)) continue;
        int64_t stamp;
        ssize_t length = readMessage(socket, MSG_DONTWAIT, buffer, sizeof buffer, &stamp);
        if (length < 0) continue;
        size_t offset = raw ? (size_t)(buffer[0] & 0x0F) * 4 : 0;
        if ((size_t)length < offset + 8) continue;
        struct icmphdr reply;
        memcpy(&reply, buffer + offset, sizeof reply);
        if (reply.type != ICMP_ECHOREPLY || ntohs(reply.un.echo.sequence) != sequence) continue;
        if (raw && ntohs(reply.un.echo.id) != identifier) continue;
        *replyIdentifier = ntohs(reply.un.echo.id);
        return stamp;
    }
}

int main(int argc, char** argv) {
    if (argc != 5 || (strcmp(argv[1], "raw") != 0 && strcmp(argv[1], "ping") != 0)) {
        fprintf(stderr, "usage: tx_stamp raw|ping ADDRESS COUNT INTERVAL_MS\n");
        return 2;
    }
    int raw = strcmp(argv[1], "raw") == 0;
    struct sockaddr_in target = {.sin_family = AF_INET};
    if (inet_pton(AF_INET, argv[2], &target.sin_addr) != 1) {
        fprintf(stderr, "tx_stamp: bad address %s\n", argv[2]);
        return 2;
    }
    long count = atol(argv[3]);
    long intervalMs = atol(argv[4]);
    int sock = socket(AF_INET, raw ? SOCK_RAW : SOCK_DGRAM, IPPROTO_ICMP);
    if (sock < 0) {
        perror("tx_stamp: socket");
        return 1;
    }
    unsigned flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE |
                     SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    if (setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) != 0) {
        perror("tx_stamp: SO_TIMESTAMPING");
        return 1;
    }
    long stamped = 0;
    for (long i = 0; i < count; ++i) {
        uint8_t request[sizeof(struct icmphdr) + payload] = {0};
        struct icmphdr header = {.type = ICMP_ECHO};
        uint16_t sequence = (uint16_t)(i + 1);
        header.un.echo.id = htons(identifier);
        header.un.echo.sequence = htons(sequence);
        memcpy(request, &header, sizeof header);
        for (size_t byte = sizeof header; byte < sizeof request; ++byte)
            request[byte] = (uint8_t)byte;
        uint16_t sum = checksum(request, sizeof request);
        request[2] = (uint8_t)(sum >> 8);
        request[3] = (uint8_t)(sum & 0xFF);

        int64_t before = realNs();
        if (sendto(sock, request, sizeof request, 0, (struct sockaddr*)&target, sizeof target) <
            0) {
            perror("tx_stamp: sendto");
            return 1;
        }
        int64_t sent = transmitStamp(sock);
        uint16_t replyIdentifier = 0;
        int64_t received = replyStamp(sock, raw, sequence, &replyIdentifier);
        if (sent >= 0) ++stamped;
        printf("%u %u %lld %lld %lld\n", replyIdentifier, sequence, (long long)before,
               (long long)sent, (long long)received);
        struct timespec pause = {0, intervalMs * 1000000};
        nanosleep(&pause, NULL);
    }
    printf("transmit-stamps %ld\n", stamped);
    return 0;
}
