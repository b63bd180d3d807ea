// The kernel's receive time stamp of a datagram (SO_TIMESTAMPNS), in the real-time clock.
#pragma once

#include <sys/socket.h>
#include <time.h>

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

}  // namespace quilvane::linux_detail
