#include "Network.h"

namespace sim {

Network& Network::Instance()
{
    static Network network;
    return network;
}

void Network::Reset()
{
    std::scoped_lock lock(mutex_);
    counters_.realTimesCreated = 0;
    counters_.browsersCreated = 0;
    clientKind_.clear();
    realTimeFailuresPending_ = 0;
    browserFailuresPending_ = 0;
}

SimCounters Network::Counters() const
{
    std::scoped_lock lock(mutex_);
    return counters_;
}

void Network::FailNextCreations(UINT kinds, UINT count)
{
    std::scoped_lock lock(mutex_);
    if (kinds & SIM_LINK_REALTIME) realTimeFailuresPending_ = count;
    if (kinds & SIM_LINK_BROWSER) browserFailuresPending_ = count;
}

std::wstring Network::ClientKind() const
{
    std::scoped_lock lock(mutex_);
    return clientKind_;
}

void Network::RecordClientKind(const wchar_t* kind)
{
    std::wstring copy(kind);  // allocate before locking, so a failure leaves the old record
    std::scoped_lock lock(mutex_);
    clientKind_.swap(copy);
}

bool Network::ClaimCreationFailure(SimLinkKind kind)
{
    std::scoped_lock lock(mutex_);
    UINT& pending = kind == SIM_LINK_REALTIME ? realTimeFailuresPending_ : browserFailuresPending_;
    if (pending == 0) return false;
    --pending;
    return true;
}

void Network::Count(LONG SimCounters::*counter, LONG delta)
{
    std::scoped_lock lock(mutex_);
    counters_.*counter += delta;
}

HRESULT Network::FindPoint(const wchar_t* path, Point& point) const
{
    std::scoped_lock lock(mutex_);
    const auto found = points_.find(path);
    if (found == points_.end()) return kelvane::KELVANE_E_UNKNOWNPOINT;
    point = found->second;
    return S_OK;
}

HRESULT Network::ListChildren(const wchar_t* /*path*/, std::vector<Child>& children) const
{
    // Containers are not modelled: no path is browsable.
    children.clear();
    return kelvane::KELVANE_E_UNKNOWNPATH;
}

}  // namespace sim
