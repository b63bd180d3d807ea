// Preload probe for the benchmark: times each echo's window in the program under test, with
// microsecond-fine figures the reply lines (0.1 ms) cannot show.
//
// For every send that succeeds it keeps the moment the send call was entered and the moment it
// returned; the first receive that succeeds after it closes the echo with the moment the receive
// returned. At exit one line per echo goes to the file named by QV_PROBE_FILE:
//   <send entered -> receive returned ns> <send returned -> receive returned ns>
// The raw-socket engine times the second window, the ping-socket engine the first.
//
// Pauses that sleep to an absolute CLOCK_MONOTONIC deadline are kept too: QV_PROBE_PAUSES names
// a file that gets one line per pause, how late it woke in ns.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

enum { capacity = 1 << 17 };

static int64_t sendEntered[capacity];
static int64_t sendReturned[capacity];
static int64_t receiveReturned[capacity];
static size_t echoes;
static int awaiting;
static int64_t pauseLateness[capacity];
static size_t pauses;

static ssize_t (*realSendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
static ssize_t (*realRecvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
static ssize_t (*realRecvmsg)(int, struct msghdr*, int);
static int (*realClockNanosleep)(clockid_t, int, const struct timespec*, struct timespec*);

static int64_t nowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void closeEcho(ssize_t received, int flags) {
    int64_t now = nowNs();
    // Errors read from the error queue are not replies.
    if (received < 0 || (flags & MSG_ERRQUEUE) != 0 || !awaiting) return;
    receiveReturned[echoes] = now;
    awaiting = 0;
    if (echoes + 1 < capacity) ++echoes;
}

ssize_t sendto(int socket, const void* data, size_t length, int flags,
               const struct sockaddr* target, socklen_t targetLength) {
    if (realSendto == NULL) realSendto = dlsym(RTLD_NEXT, "sendto");
    int64_t entered = nowNs();
    ssize_t sent = realSendto(socket, data, length, flags, target, targetLength);
    int64_t returned = nowNs();
    if (sent >= 0) {
        sendEntered[echoes] = entered;
        sendReturned[echoes] = returned;
        awaiting = 1;
    }
    return sent;
}

ssize_t recvfrom(int socket, void* buffer, size_t capacityBytes, int flags, struct sockaddr* from,
                 socklen_t* fromLength) {
    if (realRecvfrom == NULL) realRecvfrom = dlsym(RTLD_NEXT, "recvfrom");
    ssize_t received = realRecvfrom(socket, buffer, capacityBytes, flags, from, fromLength);
    closeEcho(received, flags);
    return received;
}

ssize_t recvmsg(int socket, struct msghdr* message, int flags) {
    if (realRecvmsg == NULL) realRecvmsg = dlsym(RTLD_NEXT, "recvmsg");
    ssize_t received = realRecvmsg(socket, message, flags);
    closeEcho(received, flags);
    return received;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* until,
                    struct timespec* remaining) {
    if (realClockNanosleep == NULL) realClockNanosleep = dlsym(RTLD_NEXT, "clock_nanosleep");
    int result = realClockNanosleep(clock, flags, until, remaining);
    if (result == 0 && clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME) != 0 &&
        pauses < capacity) {
        pauseLateness[pauses++] = nowNs() - ((int64_t)until->tv_sec * 1000000000 + until->tv_nsec);
    }
    return result;
}

__attribute__((destructor)) static void writeFigures(void) {
    const char* path = getenv("QV_PROBE_FILE");
    FILE* out = path != NULL ? fopen(path, "w") : NULL;
    if (out != NULL) {
        for (size_t i = 0; i < echoes; ++i) {
            fprintf(out, "%lld %lld\n", (long long)(receiveReturned[i] - sendEntered[i]),
                    (long long)(receiveReturned[i] - sendReturned[i]));
        }
        fclose(out);
    }
    path = getenv("QV_PROBE_PAUSES");
    out = path != NULL ? fopen(path, "w") : NULL;
    if (out != NULL) {
        for (size_t i = 0; i < pauses; ++i) fprintf(out, "%lld\n", (long long)pauseLateness[i]);
        fclose(out);
    }
}
