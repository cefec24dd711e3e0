#include "twopc/link/OPCKelvaneClient.h"

#include "twopc/link/RealtimeSubscriber.h"

namespace twopc::link {

// Each cookie is the subscriber interface of the item record that subscribed; the link
// calls no more once that subscription's point interface has been released.

HRESULT OPCKelvaneClient::OnValue(void* cookie, std::uint32_t mask, const KelvaneValue* value, std::uint32_t status,
                                  std::uint64_t timestamp) noexcept
{
    if (!cookie) return E_POINTER;
    try {
        static_cast<IRealtimeSubscriber*>(cookie)->ApplyArrival(mask, value, status, timestamp);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT OPCKelvaneClient::OnPointInfo(void* cookie, const KelvanePointInfo* info) noexcept
{
    if (!cookie || !info) return E_POINTER;
    try {
        static_cast<IRealtimeSubscriber*>(cookie)->ApplyPointInfo(*info);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT OPCKelvaneClient::OnPointStatus(void* cookie, std::uint32_t code) noexcept
{
    if (!cookie) return E_POINTER;
    try {
        static_cast<IRealtimeSubscriber*>(cookie)->ApplyPointStatus(code);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace twopc::link
