// The realtime interface: subscriptions to points, reported to the receiver by cookie.

#include "Link.h"
#include "NetworkBridge.h"

namespace sim {
namespace {

class RealTimeLink final : public Link<RealTimeLink, kelvane::IKelvaneRealTime,
                                       kelvane::IKelvaneRealTimeReceiver, SIM_LINK_REALTIME> {
public:
    explicit RealTimeLink(kelvane::IKelvaneRealTimeReceiver* receiver) : Link(receiver) {}

    // IKelvaneRealTime
    HRESULT STDMETHODCALLTYPE Subscribe(const wchar_t* itemId, void* /*cookie*/,
                                        const kelvane::SubscriptionRequest* request,
                                        kelvane::IKelvanePoint** point) override
    {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (!itemId || !request) return E_INVALIDARG;
        return Guarded([&]() -> HRESULT {
            Point found;
            if (const HRESULT hr = Network::Instance().FindPoint(itemId, found); FAILED(hr)) return hr;
            // Points carry no live value yet, so there is nothing to hand out for one.
            return E_NOTIMPL;
        });
    }
};

}  // namespace
}  // namespace sim

extern "C" unsigned char WINAPI SimNetOpenRealTime(void* /*reserved*/, kelvane::IKelvaneRealTimeReceiver* receiver,
                                                   kelvane::IKelvaneRealTime** realtime)
{
    return sim::RealTimeLink::Create(receiver, realtime);
}
