// The kernel's time stamps of a datagram, in the real-time clock: on receive (SO_TIMESTAMPNS) and
// as a request leaves (SO_TIMESTAMPING, read from the error queue).
#pragma once

#include <sys/socket.h>
#include <time.h>
// After <time.h>: they need struct timespec complete.
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>

#include <cstdint>
#include <cstring>
#include <optional>

namespace quilvane::linux_detail {

// Asks the kernel to stamp every datagram it queues on the socket; a socket that refuses keeps
// working without stamps, and the round trip then ends at the user-space reading.
inline void enableReceiveStamps(int descriptor) {
    int on = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

inline std::optional<int64_t> receiveStampNs(msghdr& header) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_TIMESTAMPNS &&
            message->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(message), sizeof stamp);
            return int64_t{stamp.tv_sec} * 1'000'000'000 + stamp.tv_nsec;
        }
    }
    return std::nullopt;
}

// Asks for a software stamp of every request as the network device takes it, on the error queue
// with no copy of the packet. The counter read before the send call lies 3 to 18 us before the
// packet leaves (the kernel's send path); this stamp lies 1 to 4 us after it, in the driver.
inline void enableTransmitStamps(int descriptor) {
    unsigned flags =
        SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    setsockopt(descriptor, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags);
}

// The software transmit stamp of an error-queue message, if it is one.
inline std::optional<int64_t> transmitStampNs(msghdr& header) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_TIMESTAMPING &&
            message->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping))) {
            scm_timestamping stamps;
            std::memcpy(&stamps, CMSG_DATA(message), sizeof stamps);
            return int64_t{stamps.ts[0].tv_sec} * 1'000'000'000 + stamps.ts[0].tv_nsec;
        }
    }
    return std::nullopt;
}

}  // namespace quilvane::linux_detail
