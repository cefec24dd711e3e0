#pragma once
// COPCItem: one item of one group, the client's view of one point of the network. It
// holds the item's identity, handles, types and rights, the value last received from
// the realtime link ("current") and the value last reported to the client ("reported"),
// and the point interface through which it is subscribed.
//
// Locking: the item lock guards every field. It is taken after the group lock, never
// before; the realtime callbacks take only the item lock. The point interface is
// released without the item lock held, because the link waits for a callback in flight
// to this item before it lets go of the subscription.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/Owners.h"
#include "twopc/link/RealtimeSubscriber.h"

#include <opcda.h>

#include <cstddef>
#include <string>

namespace twopc::group {

class COPCGroup;

// An item's attributes, copied out under its lock; strings owned by the record.
struct ItemAttributes {
    std::wstring accessPath;
    std::wstring itemId;
    BOOL active = FALSE;
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 0;
    DWORD accessRights = 0;
    VARTYPE requestedType = VT_EMPTY;
    VARTYPE canonicalType = VT_EMPTY;
};

// Aligned to a cache line so that the fields listed first occupy as few lines as they can.
class alignas(64) COPCItem final : public link::IRealtimeSubscriber {
public:
    explicit COPCItem(COPCGroup* group);
    virtual ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;

    // Draws the server handle first, whatever happens next. Fills `result` only on success.
    HRESULT Initialise(const OPCITEMDEF& definition, OPCITEMRESULT& result);

    HRESULT SetActive(bool active);
    void SetClientHandle(OPCHANDLE handle);
    void SetRequestedType(VARTYPE type);
    void SetReportedQuality(WORD quality);
    ItemAttributes Attributes();

    OPCHANDLE ServerHandle() const noexcept { return m_serverHandle; }
    bool IsReadable();
    bool IsWritable();

    // Reads through the link (waiting up to 3 s for a first value) and hands out what a
    // client gets; the reported fields become what was handed out. `value` must be empty;
    // after a failure it may hold a partial result, which the caller's owner clears.
    HRESULT Read(OPCDATASOURCE source, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp);
    // Converts to the canonical type and hands the value to the link.
    HRESULT Write(const VARIANT& value);
    HRESULT LastWriteResult();
    OPCHANDLE ClientHandle();

    // The data-change test: true when the item is to be reported, with the reported fields
    // brought up to date and the entry filled. `value` must be empty; after a failure
    // (in `result`) it may hold a partial result, which the caller's owner clears.
    bool TestForChange(OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp,
                       HRESULT& result);
    orv::com::CCriticalSection& Lock() noexcept { return m_lock; }

    // For tests and diagnostics: the state the realtime link last left.
    struct Current {
        HRESULT lastReadResult;
        WORD quality;
        FILETIME timestamp;
        VARTYPE canonicalType;
        DWORD accessRights;
        bool valueArrived;
    };
    Current CurrentState();
    // A copy of the current value.
    HRESULT CopyCurrentValue(VARIANT* out);

    // IRealtimeSubscriber, on the link's threads.
    void ApplyArrival(std::uint32_t mask, const link::KelvaneValue* value, std::uint32_t status,
                      std::uint64_t timestamp) override;
    void ApplyPointInfo(const link::KelvanePointInfo& info) override;
    void ApplyPointStatus(std::uint32_t code) override;

    // How many bytes from the object's start the scan's change test reads.
    static constexpr std::size_t kHotBytes = 192;

private:
    friend class COPCGroup;  // keeps m_activeSlot, under the group lock

    void ReleasePoint();
    void SignalValueArrived();
    // True when a value has arrived, else waits for one up to the first-value time-out.
    bool WaitForFirstValue();
    // Reported := current; the client's copy in the requested type into `value`.
    HRESULT HandOut(bool outOfService, VARIANT& value);

    // The fields that every value arrival and every scan touch come first, in the object's
    // first three cache lines: at tens of thousands of items each item is a cache miss on
    // both threads, and the scan fetches these lines ahead of its walk (kHotBytes).
    // Line 0: what a value arrival needs besides the value (the object's vtable pointer
    // and the lock come first).
    orv::com::CCriticalSection m_lock;
    WORD m_currentQuality = OPC_QUALITY_GOOD;
    bool m_valueArrivedSet = false;
    bool m_active = false;
    HRESULT m_lastReadResult = S_OK;
    // Line 1: the current value, written by every arrival; the reported value beside it.
    FILETIME m_currentTimestamp{};
    orv::com::UniqueVariant m_currentValue;
    orv::com::UniqueVariant m_reportedValue;
    FILETIME m_reportedTimestamp{};
    // Line 2: the rest of what the scan reads.
    WORD m_reportedQuality = 0;
    VARTYPE m_requestedType = VT_EMPTY;
    VARTYPE m_canonicalType = VT_EMPTY;
    OPCHANDLE m_clientHandle = 0;
    DWORD m_accessRights = OPC_READABLE | OPC_WRITEABLE;

    COPCGroup* m_group;
    // The item's place in the group's active-item list while it is active; guarded by the
    // group lock, since the group moves items when it closes the gaps of removed ones.
    std::size_t m_activeSlot = 0;
    OPCHANDLE m_serverHandle = 0;
    std::wstring m_accessPath;
    std::wstring m_itemId;
    orv::com::UniqueVariant m_writeValue;
    HRESULT m_lastWriteResult = S_OK;
    // Made only when a reader has to wait for a first value: most items never need one,
    // and under Wine every event operation is a round trip to the wine server.
    orv::com::UniqueHandle m_valueArrived;
    orv::com::ComPtr<link::IKelvanePoint> m_point;
};

}  // namespace twopc::group
