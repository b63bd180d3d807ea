// Chooses the platform in use: the operating system's, or a replacement a test installed.
#include "support/platform.h"

#include <cstdio>
#include <ctime>

namespace quilvane {

namespace {
// Null until first use, and again after a test removed its replacement.
Platform* activePlatform = nullptr;
}  // namespace

Platform& platform() {
    // Asked for several times per echo: the system's platform is looked up once, not at every
    // call.
    if (activePlatform == nullptr) activePlatform = &systemPlatform();
    return *activePlatform;
}

int32_t Platform::utcOffsetSeconds(int64_t epochSeconds) {
    auto moment = static_cast<std::time_t>(epochSeconds);
    // The process has one thread: the library's static results are not shared.
    std::tm local = *std::localtime(&moment);
    std::tm utc = *std::gmtime(&moment);
    int days = local.tm_yday - utc.tm_yday;
    // Across the turn of a year the day of the year wraps.
    if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
    return ((days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 +
           local.tm_sec - utc.tm_sec;
}

bool Platform::replaceFile(const std::string& from, const std::string& to) {
    // rename() replaces an existing file in one step where the C library is the system's own
    // (POSIX); Windows overrides this.
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void setPlatform(Platform* replacement) {
    activePlatform = replacement;
}

// A system without batched calls makes one call a datagram.
QueuedBatch Platform::receiveQueuedBatch(SocketHandle socket, uint8_t* slots, size_t slotSize,
                                         Datagram* datagrams, size_t most) {
    QueuedBatch batch;
    while (batch.count < most) {
        SystemResult<Datagram> received =
            receiveQueued(socket, slots + batch.count * slotSize, slotSize);
        if (!received.ok()) {
            batch.stoppedBy = received.error;
            break;
        }
        datagrams[batch.count++] = received.value;
    }
    return batch;
}

// Without a queue of stamps the one newest stamp can be told apart only after a batch of one.
size_t Platform::transmitStampsNs(SocketHandle socket, int64_t notBeforeNs, int64_t* stamps,
                                  size_t most) {
    if (most != 1) return 0;
    std::optional<int64_t> stamp = transmitStampNs(socket, notBeforeNs);
    if (!stamp) return 0;
    stamps[0] = *stamp;
    return 1;
}

BatchSent Platform::sendBatch(SocketHandle socket, const OutgoingDatagram* datagrams,
                              size_t count) {
    BatchSent batch;
    for (; batch.sent < count; ++batch.sent) {
        const OutgoingDatagram& datagram = datagrams[batch.sent];
        std::optional<SystemError> failed =
            sendTo(socket, datagram.data, datagram.length, datagram.destination).error;
        if (failed) {
            batch.error = failed;
            break;
        }
    }
    return batch;
}

}  // namespace quilvane
