#pragma once
// COPCItem: one item of one group, the client's view of one point of the network. It
// holds the item's identity, handles, types and rights, the value last received from
// the realtime link ("current") and the value last reported to the client ("reported"),
// and the point interface through which it is subscribed.
//
// Locking. The item lock is taken after the group lock, never before; the realtime
// callbacks take no lock but the item lock, and an arrival of a number not even that.
// - The current value, quality and timestamp are published through a sequence count
//   (PublishedValue). An arrival of a value that owns nothing (every number) publishes it
//   without the item lock; a value that owns memory (a string) is published, and read,
//   only under the item lock. The update scan reads without the item lock and takes it only
//   for a value that owns memory. The last conversion result and whether a first value has
//   come are single words, written by the arrivals with or without the item lock.
// - The reported fields are guarded by the group lock: the scan, reads and the
//   item-management calls change them only while holding it. The client handle and the
//   requested type are changed under both locks, so either is enough to read them.
// - The canonical type and the access rights are set by the link's point information under
//   the item lock and are single words that the scan loads without it.
// - Everything else is guarded by the item lock.
// The point interface is released without the item lock held, because the link waits for
// a callback in flight to this item before it lets go of the subscription.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/Owners.h"
#include "twopc/group/PublishedValue.h"
#include "twopc/link/RealtimeSubscriber.h"

#include <opcda.h>

#include <atomic>
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

    // The data-change test, under the group lock and without the item lock: true when the
    // item is to be reported, with the reported fields brought up to date and the entry filled. `value` must be empty; after a failure
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

private:
    friend class COPCGroup;  // keeps m_activeSlot, under the group lock

    void ReleasePoint();
    void SignalValueArrived();
    // True when a value has arrived, else waits for one up to the first-value time-out.
    bool WaitForFirstValue();
    // The change test on one set of current fields, for values that own memory on either
    // side; under the group lock, and under the item lock when the current value owns memory.
    bool ReportIfChanged(const PublishedValue::Fields& current, VARIANT& value, WORD& quality, FILETIME& timestamp,
                         HRESULT& result);
    // The reported fields := current; the entry's quality and timestamp, and its value in the
    // requested type.
    void FinishReport(const PublishedValue::Fields& current, VARIANT& value, WORD& quality, FILETIME& timestamp,
                      HRESULT& result);
    // TestForChange, inline in the scan's loop.
    bool TestForChangeInline(OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp,
                             HRESULT& result);
    // True when the client asked for a type other than the canonical one.
    bool WantsConversion() const noexcept
    {
        return m_requestedType != VT_EMPTY && m_requestedType != m_canonicalType.load(std::memory_order_relaxed);
    }
    // `value` in the requested type; `result` the conversion's failure, else S_OK.
    void ConvertToRequested(VARIANT& value, HRESULT& result);
    // Reported := current; the client's copy in the requested type into `value`.
    HRESULT HandOut(bool outOfService, VARIANT& value);

    // The reported value as a VARIANT that the item still owns: valid while the reported
    // fields stay as they are.
    VARIANT ReportedValue() const noexcept;
    // Reported value := a copy of `source` (VT_ERROR carrying the failure when it cannot be
    // copied); frees the value it replaces.
    void SetReportedValue(const VARIANT& source) noexcept;
    void StoreAccessRights(DWORD rights) noexcept;

    // Everything that a value arrival and a scan touch is on the item's first cache line,
    // so that an update costs each of the two threads one line: at tens of thousands of
    // items each item is a cache miss on both, and the scan fetches the line ahead of its
    // walk. The arrival reaches the item through the vtable pointer at its start and
    // writes the published value (24 bytes); the scan reads that and writes the reported
    // fields; the link's conversion result and the first-value flag fill the rest.
    PublishedValue m_current{OPC_QUALITY_GOOD};
    // The reported value as its type and payload word (every value fits, see PublishedValue);
    // the item owns a string it holds. The client handle sits in the type's word.
    VARTYPE m_reportedType = VT_EMPTY;
    WORD m_reportedQuality = 0;
    OPCHANDLE m_clientHandle = 0;
    std::uint64_t m_reportedPayload = 0;
    FILETIME m_reportedTimestamp{};
    VARTYPE m_requestedType = VT_EMPTY;
    std::atomic<bool> m_valueArrivedSet{false};
    // OPC_READABLE and OPC_WRITEABLE.
    std::atomic<std::uint8_t> m_accessRights{OPC_READABLE | OPC_WRITEABLE};
    std::atomic<HRESULT> m_lastReadResult{S_OK};

    // The rest is seldom used.
    alignas(64) orv::com::CCriticalSection m_lock;
    COPCGroup* m_group;
    // Set by the link's point information under the item lock; the scan loads it without.
    std::atomic<VARTYPE> m_canonicalType{VT_EMPTY};
    bool m_active = false;
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
