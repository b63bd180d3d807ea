// Preload probe for the benchmark: times each echo's window in the program under test, with
// microsecond-fine figures the reply lines (0.1 ms) cannot show.
//
// For every send that succeeds it keeps the moment the send call was entered and the moment it
// returned; the first receive that succeeds after it closes the echo with the moment the receive
// returned. At exit one line per echo goes to the file named by QV_PROBE_FILE:
//   <send entered -> receive returned ns> <send returned -> receive returned ns>
// The raw-socket engine times the second window, the ping-socket engine the first.
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
static size_t echoes;
static int awaiting;
static int64_t gaps[capacity];
static size_t gapCount;

static ssize_t (*realSendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
static ssize_t (*realRecvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
static ssize_t (*realRecvmsg)(int, struct msghdr*, int);

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
    if (sent >= 0 && echoes > 0 && !awaiting && gapCount < capacity) {
        gaps[gapCount++] = entered - receiveReturned[echoes - 1];
    }
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
