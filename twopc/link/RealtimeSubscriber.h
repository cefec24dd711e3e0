#pragma once
// The receiving end of one subscription. The cookie given to IKelvaneRealTime::Subscribe
// is a pointer to this interface of the subscribing item record; the realtime receiver
// hands every callback straight to it, on the link's own thread.

#include "twopc/link/KelvaneLink.h"

#include <cstdint>

namespace twopc::link {

class IRealtimeSubscriber {
public:
    virtual void ApplyArrival(std::uint32_t mask, const KelvaneValue* value, std::uint32_t status,
                              std::uint64_t timestamp) = 0;
    virtual void ApplyPointInfo(const KelvanePointInfo& info) = 0;
    virtual void ApplyPointStatus(std::uint32_t code) = 0;

protected:
    ~IRealtimeSubscriber() = default;
};

}  // namespace twopc::link
