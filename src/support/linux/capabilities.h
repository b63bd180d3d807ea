// CAP_NET_RAW held in the effective set only while a raw socket is being created.
#pragma once

namespace quilvane::linux_detail {

// Clears CAP_NET_RAW from the calling thread's effective set; the permitted set keeps it, so it
// can be raised again. Returns false when the capability sets could not be changed.
bool dropRawCapability();

// Whether CAP_NET_RAW is in the calling thread's effective set now.
bool rawCapabilityEffective();

// Raises CAP_NET_RAW into the effective set for its lifetime when the permitted set holds it
// (a file capability cap_net_raw+p, or root), and drops it again at the end.
class RawCapabilityScope {
  public:
    RawCapabilityScope();
    ~RawCapabilityScope();
    RawCapabilityScope(const RawCapabilityScope&) = delete;
    RawCapabilityScope& operator=(const RawCapabilityScope&) = delete;
};

}  // namespace quilvane::linux_detail
