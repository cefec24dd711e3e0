#pragma once
// The one simulated Tarnwell network of the process. It lives in twsock; twrealt and
// twbrow reach it through twsock's exports. Every member may be called from any thread.

#include <sim/kelvane.h>
#include <sim/simctl.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// A point of the network as a subscriber sees it.
struct Point {
    std::uint16_t type = kelvane::vtNull;
    std::uint32_t access = kelvane::paReadable;
};

// One child of a browsable path.
struct Child {
    std::wstring name;
    wchar_t delimiter = L'\\';
    bool leaf = false;
    std::uint16_t type = kelvane::vtEmpty;
    std::uint16_t access = 0;
};

class Network {
public:
    static Network& Instance();

    // Test control.
    void Reset();
    SimCounters Counters() const;
    void FailNextCreations(UINT kinds, UINT count);
    std::wstring ClientKind() const;

    void RecordClientKind(const wchar_t* kind);

    // Consumes one pending failure of this kind, if there is one.
    bool ClaimCreationFailure(SimLinkKind kind);

    // Adds delta to one live or created count; the objects that are counted call it.
    void Count(LONG SimCounters::*counter, LONG delta);

    // KELVANE_E_UNKNOWNPOINT for a path that names no point.
    HRESULT FindPoint(const wchar_t* path, Point& point) const;
    // KELVANE_E_UNKNOWNPATH for a path that names nothing browsable.
    HRESULT ListChildren(const wchar_t* path, std::vector<Child>& children) const;

private:
    Network() = default;

    mutable std::mutex mutex_;
    SimCounters counters_{};
    std::wstring clientKind_;
    UINT realTimeFailuresPending_ = 0;
    UINT browserFailuresPending_ = 0;
    std::map<std::wstring, Point> points_;  // keyed by full item ID
};

}  // namespace sim
