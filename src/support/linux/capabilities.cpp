// CAP_NET_RAW held in the effective set only while a raw socket is being created.
#include "support/linux/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace quilvane::linux_detail {

namespace {

// The raw system calls need no capability library; version 3 carries 64 bits in two words.
struct CapabilitySets {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

constexpr unsigned rawWord = CAP_TO_INDEX(CAP_NET_RAW);
constexpr unsigned rawMask = CAP_TO_MASK(CAP_NET_RAW);

bool readSets(CapabilitySets& sets) {
    return syscall(SYS_capget, &sets.header, sets.data) == 0;
}

bool writeSets(CapabilitySets& sets) {
    return syscall(SYS_capset, &sets.header, sets.data) == 0;
}

bool setRawEffective(bool raised) {
    int savedErrno = errno;
    CapabilitySets sets;
    bool changed = false;
    if (readSets(sets)) {
        auto& word = sets.data[rawWord];
        bool holds = (word.effective & rawMask) != 0;
        if (holds == raised) {
            changed = true;
        } else if (!raised || (word.permitted & rawMask) != 0) {
            word.effective = raised ? (word.effective | rawMask) : (word.effective & ~rawMask);
            changed = writeSets(sets);
        }
    }
    // The caller reports the errno of its own call, never one left over from here.
    errno = savedErrno;
    return changed;
}

}  // namespace

bool dropRawCapability() {
    return setRawEffective(false);
}

bool rawCapabilityEffective() {
    CapabilitySets sets;
    return readSets(sets) && (sets.data[rawWord].effective & rawMask) != 0;
}

RawCapabilityScope::RawCapabilityScope() {
    setRawEffective(true);
}

RawCapabilityScope::~RawCapabilityScope() {
    setRawEffective(false);
}

}  // namespace quilvane::linux_detail
