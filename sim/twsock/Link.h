#pragma once
// What the realtime and the browse interface have in common: each holds the receiver that
// its creator passed in, from creation until its own last reference goes, and is counted
// by the network while it lives.

#include "ComObject.h"
#include "Network.h"

namespace sim {

template <class Derived, class Interface, class Receiver, SimLinkKind kind>
class Link : public ComObject<Derived, Interface> {
public:
    // The creation export: 1 with *out holding the first reference and the receiver one
    // more, or 0 with *out null and the receiver untouched.
    static unsigned char Create(Receiver* receiver, Interface** out) noexcept
    {
        if (!out) return 0;
        *out = nullptr;
        if (!receiver) return 0;
        try {
            Network& network = Network::Instance();
            if (network.ClaimCreationFailure(kind)) return 0;
            *out = Derived::Make(receiver).Detach();
            network.Count(createdCounter, +1);
            return 1;
        } catch (...) {
            return 0;
        }
    }

protected:
    explicit Link(Receiver* receiver) : receiver_(receiver)
    {
        Network::Instance().Count(liveCounter, +1);
        Network::Instance().Count(&SimCounters::receiversHeld, +1);
    }
    ~Link() override
    {
        receiver_.Reset();
        Network::Instance().Count(&SimCounters::receiversHeld, -1);
        Network::Instance().Count(liveCounter, -1);
    }

    Receiver* receiver() const noexcept { return receiver_.Get(); }

private:
    static constexpr LONG SimCounters::*liveCounter =
        kind == SIM_LINK_REALTIME ? &SimCounters::liveRealTimes : &SimCounters::liveBrowsers;
    static constexpr LONG SimCounters::*createdCounter =
        kind == SIM_LINK_REALTIME ? &SimCounters::realTimesCreated : &SimCounters::browsersCreated;

    ComPtr<Receiver> receiver_;
};

}  // namespace sim
