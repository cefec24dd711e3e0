// The realtime interface and the point interfaces that its subscriptions hand out.

#include "Link.h"
#include "NetworkBridge.h"

#include <memory>

namespace sim {
namespace {

// One subscription. It holds the realtime interface, and with it the receiver, until its
// last release, which ends the subscription (see Network::Unsubscribe for the wait).
class PointLink final : public ComObject<PointLink, kelvane::IKelvanePoint> {
public:
    explicit PointLink(kelvane::IKelvaneRealTime* link) : link_(link) {}
    ~PointLink() override
    {
        if (subscription_) Network::Instance().Unsubscribe(subscription_);
    }

    HRESULT Attach(const wchar_t* itemId, kelvane::IKelvaneRealTimeReceiver* receiver, void* cookie)
    {
        return Network::Instance().Subscribe(itemId, receiver, cookie, subscription_);
    }

    // IKelvanePoint
    HRESULT STDMETHODCALLTYPE Write(const kelvane::Value* value) override
    {
        if (!value) return E_POINTER;
        return Guarded([&] {
            StoredValue stored;
            // Text is copied out of its object here, before the network's lock is taken.
            if (const HRESULT hr = FromNetwork(*value, stored); FAILED(hr)) return hr;
            return Network::Instance().Write(*subscription_, std::move(stored));
        });
    }

    HRESULT STDMETHODCALLTYPE GetInfo(kelvane::PointInfo* info) override
    {
        if (!info) return E_POINTER;
        Network::Instance().Describe(*subscription_, *info);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReadCurrent(std::uint32_t* mask, kelvane::Value* value, std::uint32_t* status,
                                          std::uint64_t* timestamp) override
    {
        if (!mask || !value || !status || !timestamp) return E_POINTER;
        *mask = 0;
        *status = 0;
        *timestamp = 0;
        return Guarded([&]() -> HRESULT {
            HRESULT failure = S_OK;
            StoredValue current;
            std::uint32_t currentStatus = 0;
            std::uint64_t currentTimestamp = 0;
            if (!Network::Instance().Current(*subscription_, failure, current, currentStatus, currentTimestamp)) {
                return failure;
            }
            if (const HRESULT hr = ToNetwork(current, *value); FAILED(hr)) return hr;
            *mask = kelvane::vfValue | kelvane::vfStatus | kelvane::vfTimestamp;
            *status = currentStatus;
            *timestamp = currentTimestamp;
            return S_OK;
        });
    }

private:
    ComPtr<kelvane::IKelvaneRealTime> link_;  // released after the subscription has ended
    std::shared_ptr<Subscription> subscription_;
};

class RealTimeLink final : public Link<RealTimeLink, kelvane::IKelvaneRealTime,
                                       kelvane::IKelvaneRealTimeReceiver, SIM_LINK_REALTIME> {
public:
    explicit RealTimeLink(kelvane::IKelvaneRealTimeReceiver* receiver) : Link(receiver)
    {
        Network::Instance().RealTimeOpened();
    }
    ~RealTimeLink() override { Network::Instance().RealTimeClosed(); }

    // IKelvaneRealTime
    HRESULT STDMETHODCALLTYPE Subscribe(const wchar_t* itemId, void* cookie,
                                        const kelvane::SubscriptionRequest* request,
                                        kelvane::IKelvanePoint** point) override
    {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (!itemId || !request) return E_INVALIDARG;
        return Guarded([&]() -> HRESULT {
            ComPtr<PointLink> made = PointLink::Make(this);
            if (const HRESULT hr = made->Attach(itemId, receiver(), cookie); FAILED(hr)) return hr;
            *point = made.Detach();
            return S_OK;
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
