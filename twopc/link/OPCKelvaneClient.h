#pragma once
// The process-wide receiver through which the realtime link delivers values, point
// descriptions and point status for every subscribed item. Each callback's cookie is the
// item record that was subscribed; the callbacks run on the link's own threads.

#include "orv/com/HResult.h"
#include "twopc/link/KelvaneReceiver.h"

namespace twopc::link {

class OPCKelvaneClient final
    : public KelvaneReceiver<IKelvaneRealTimeReceiver, IID_IKelvaneRealTimeReceiver, IKelvaneRealTime> {
public:
    // IKelvaneRealTimeReceiver
    IFACEMETHODIMP OnValue(void* cookie, std::uint32_t mask, const KelvaneValue* value, std::uint32_t status,
                           std::uint64_t timestamp) noexcept override;
    IFACEMETHODIMP OnPointInfo(void* cookie, const KelvanePointInfo* info) noexcept override;
    IFACEMETHODIMP OnPointStatus(void* cookie, std::uint32_t code) noexcept override;
};

}  // namespace twopc::link
