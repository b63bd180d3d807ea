// Preload probe for the benchmark: times each echo's window in the program under test, with
// microsecond-fine figures the reply lines (0.1 ms) cannot show.
//
// For every send that succeeds it keeps the moment the send call was entered and the moment it
// returned; the first receive that succeeds after it closes the echo with the moment the receive
// returned. At exit one line per echo goes to the file named by QV_PROBE_FILE:
//   <send entered -> receive returned ns> <send returned -> receive returned ns>
//   <program's start -> kernel's receive stamp ns, or -1> <program's start -> send entered ns>
// The program's start is the request's transmit stamp (SCM_TIMESTAMPING, read from the error queue
// after the send) where the kernel gave one, else its last reading of the monotonic clock before
// the send call (both engines start their timer right before it). The stamps are in the real-time
// clock and are carried over to the monotonic one with the two clocks' offset read as the message
// is read. The third figure is thus what the program reports, to the nanosecond.
//
// The gaps between echoes are kept too: QV_PROBE_GAPS names a file that gets one line per echo
// after the first, the ns from the previous reply received to this send entered (the pause, the
// printing and the building of the request).
//
// QV_PROBE_PEAK names a file that gets the peak resident size in kB (VmHWM) at exit: measured from
// inside, it is the program's own, not that of the process it was started from.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { capacity = 1 << 17 };

static int64_t sendEntered[capacity];
static int64_t sendReturned[capacity];
static int64_t receiveReturned[capacity];
static int64_t startRead[capacity];
static int64_t receiveStamp[capacity];
static int64_t transmitStamp[capacity];
static int64_t lastMonotonic = -1;
static size_t echoes;
static int awaiting;
static int64_t gaps[capacity];
static size_t gapCount;

static ssize_t (*realSendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
static ssize_t (*realRecvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
static ssize_t (*realRecvmsg)(int, struct msghdr*, int);
static int (*realClockGettime)(clockid_t, struct timespec*);

static int64_t readClock(clockid_t clock) {
    if (realClockGettime == NULL) realClockGettime = dlsym(RTLD_NEXT, "clock_gettime");
    struct timespec now;
    realClockGettime(clock, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int64_t nowNs(void) {
    return readClock(CLOCK_MONOTONIC);
}

// The program's own readings: the last one before a send is where its timer starts.
int clock_gettime(clockid_t clock, struct timespec* now) {
    if (realClockGettime == NULL) realClockGettime = dlsym(RTLD_NEXT, "clock_gettime");
    int result = realClockGettime(clock, now);
    if (result == 0 && clock == CLOCK_MONOTONIC) {
        lastMonotonic = (int64_t)now->tv_sec * 1000000000 + now->tv_nsec;
    }
    return result;
}

// The kernel's stamp of the given type (SCM_TIMESTAMPNS on receive, SCM_TIMESTAMPING as a request
// left, whose first stamp is the software one) in the monotonic clock, or -1 without one.
static int64_t monotonicStamp(const struct msghdr* message, int type) {
    if (message == NULL || message->msg_control == NULL) return -1;
    for (struct cmsghdr* control = CMSG_FIRSTHDR((struct msghdr*)message); control != NULL;
         control = CMSG_NXTHDR((struct msghdr*)message, control)) {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != type ||
            control->cmsg_len < CMSG_LEN(sizeof(struct timespec))) {
            continue;
        }
        struct timespec stamp;
        memcpy(&stamp, CMSG_DATA(control), sizeof stamp);
        // Monotonic readings on both sides of the real-time one halve the error of the offset.
        int64_t before = nowNs();
        int64_t real = readClock(CLOCK_REALTIME);
        int64_t after = nowNs();
        int64_t offset = before + (after - before) / 2 - real;
        return (int64_t)stamp.tv_sec * 1000000000 + stamp.tv_nsec + offset;
    }
    return -1;
}

static void closeEcho(ssize_t received, int flags, const struct msghdr* message) {
    int64_t now = nowNs();
    if (received < 0 || !awaiting) return;
    // The error queue holds the transmit stamp (and ICMP errors); the program takes a stamp only
    // when it is not older than the start of its timer.
    if ((flags & MSG_ERRQUEUE) != 0) {
        int64_t stamp = monotonicStamp(message, SCM_TIMESTAMPING);
        if (stamp >= startRead[echoes]) transmitStamp[echoes] = stamp;
        return;
    }
    receiveReturned[echoes] = now;
    receiveStamp[echoes] = monotonicStamp(message, SCM_TIMESTAMPNS);
    awaiting = 0;
    if (echoes + 1 < capacity) ++echoes;
}

ssize_t sendto(int socket, const void* data, size_t length, int flags,
               const struct sockaddr* target, socklen_t targetLength) {
    if (realSendto == NULL) realSendto = dlsym(RTLD_NEXT, "sendto");
    int64_t started = lastMonotonic;
    int64_t entered = nowNs();
    ssize_t sent = realSendto(socket, data, length, flags, target, targetLength);
    int64_t returned = nowNs();
    if (sent >= 0 && echoes > 0 && !awaiting && gapCount < capacity) {
        gaps[gapCount++] = entered - receiveReturned[echoes - 1];
    }
    if (sent >= 0) {
        sendEntered[echoes] = entered;
        sendReturned[echoes] = returned;
        startRead[echoes] = started >= 0 ? started : entered;
        transmitStamp[echoes] = -1;
        awaiting = 1;
    }
    return sent;
}

ssize_t recvfrom(int socket, void* buffer, size_t capacityBytes, int flags, struct sockaddr* from,
                 socklen_t* fromLength) {
    if (realRecvfrom == NULL) realRecvfrom = dlsym(RTLD_NEXT, "recvfrom");
    ssize_t received = realRecvfrom(socket, buffer, capacityBytes, flags, from, fromLength);
    closeEcho(received, flags, NULL);
    return received;
}

ssize_t recvmsg(int socket, struct msghdr* message, int flags) {
    if (realRecvmsg == NULL) realRecvmsg = dlsym(RTLD_NEXT, "recvmsg");
    ssize_t received = realRecvmsg(socket, message, flags);
    closeEcho(received, flags, message);
    return received;
}

__attribute__((destructor)) static void writeFigures(void) {
    const char* path = getenv("QV_PROBE_FILE");
    FILE* out = path != NULL ? fopen(path, "w") : NULL;
    if (out != NULL) {
        for (size_t i = 0; i < echoes; ++i) {
            int64_t start = transmitStamp[i] >= 0 ? transmitStamp[i] : startRead[i];
            long long figure = receiveStamp[i] >= 0 ? (long long)(receiveStamp[i] - start) : -1;
            fprintf(out, "%lld %lld %lld %lld\n", (long long)(receiveReturned[i] - sendEntered[i]),
                    (long long)(receiveReturned[i] - sendReturned[i]), figure,
                    (long long)(sendEntered[i] - startRead[i]));
        }
        fclose(out);
    }
    path = getenv("QV_PROBE_PEAK");
    out = path != NULL ? fopen(path, "w") : NULL;
    FILE* status = out != NULL ? fopen("/proc/self/status", "r") : NULL;
    if (status != NULL) {
        char line[256];
        while (fgets(line, sizeof line, status) != NULL) {
            if (strncmp(line, "VmHWM:", 6) == 0) fprintf(out, "%lld\n", atoll(line + 6));
        }
        fclose(status);
    }
    if (out != NULL) fclose(out);
    path = getenv("QV_PROBE_GAPS");
    out = path != NULL ? fopen(path, "w") : NULL;
    if (out != NULL) {
        for (size_t i = 0; i < gapCount; ++i) fprintf(out, "%lld\n", (long long)gaps[i]);
        fclose(out);
    }
}
