#pragma once
// COPCItem: one item of one group, the client's view of one point of the network. It
// holds the item's identity, handles, types and rights, and the point interface through
// which it is subscribed. The value last received from the realtime link ("current")
// lives in the item's PublishedSlot, the link's cookie; the value last reported to the
// client ("reported") in a ReportedFields record, the group's while the item is active and
// the item's own while not. An update of a number so touches neither the item record nor
// a line that the other thread writes.
//
// Locking. The item lock is taken after the group lock, never before; the realtime
// callbacks take no lock but the item lock, and an arrival of a number not even that.
// - The current value, quality and timestamp are published through the slot's sequence
//   count (PublishedValue). An arrival of a value that owns nothing (every number) is
//   published by the slot alone, without the item lock, once the item has cleared the
//   slot's flag for locked writes; a value that owns memory (a string) is published, and
//   read, only under the item lock. The update scan reads without the item lock and takes
//   it only for a value that owns memory.
// - The slot's flags (locked writes only, unreadable, converts) are set under the item lock
//   from the state they summarise: whether a first value has come and the last read
//   result, the access rights, and the requested and canonical types.
// - The reported fields are guarded by the group lock: the scan, reads and the
//   item-management calls change them only while holding it, and the record moves between
//   item and group under both locks. The client handle and the requested type are changed
//   under both locks, so either is enough to read them.
// - Everything else is guarded by the item lock.
// The point interface is released without the item lock held, because the link waits for
// a callback in flight to this item before it lets go of the subscription; the slot is
// given back only after that.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/Owners.h"
#include "twopc/group/PublishedSlot.h"
#include "twopc/group/ReportedFields.h"

#include <opcda.h>

#include <cstddef>
#include <memory>
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

class COPCItem final : public IPublishedSlotOwner {
public:
    explicit COPCItem(COPCGroup* group);
    virtual ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;

    // Draws the server handle first, whatever happens next. Fills `result` only on success.
    HRESULT Initialise(const OPCITEMDEF& definition, OPCITEMRESULT& result);

    HRESULT SetActive(bool active);
    // These three take the group lock, then the item lock.
    void SetClientHandle(OPCHANDLE handle);
    void SetRequestedType(VARTYPE type);
    void SetReportedQuality(WORD quality);
    ItemAttributes Attributes();

    OPCHANDLE ServerHandle() const noexcept { return m_serverHandle; }
    bool IsReadable();
    bool IsWritable();

    // Under the group lock. Reads through the link (waiting up to 3 s for a first value)
    // and hands out what a client gets; the reported fields become what was handed out.
    // `value` must be empty; after a failure it may hold a partial result, which the
    // caller's owner clears.
    HRESULT Read(OPCDATASOURCE source, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp);
    // Converts to the canonical type and hands the value to the link.
    HRESULT Write(const VARIANT& value);
    HRESULT LastWriteResult();
    OPCHANDLE ClientHandle();

    // The data-change test on the item's reported fields, under the group lock and without
    // the item lock: true when the item is to be reported, with the reported fields brought
    // up to date and the entry filled. `value` must be empty; after a failure (in
    // `result`) it may hold a partial result, which the caller's owner clears.
    bool TestForChange(OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp,
                       HRESULT& result);
    // The same on `reported`, the item's record; the scan calls it for each active item,
    // and it touches the item itself only for strings and conversions.
    bool TestForChangeInline(ReportedFields& reported, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality,
                             FILETIME& timestamp, HRESULT& result);
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

    // A value from the link, as its receiver would deliver it (through the slot).
    void ApplyArrival(std::uint32_t mask, const link::KelvaneValue* value, std::uint32_t status,
                      std::uint64_t timestamp)
    {
        m_slot->ApplyArrival(mask, value, status, timestamp);
    }
    // IPublishedSlotOwner, on the link's threads.
    void PublishLocked(VARIANT* value, HRESULT converted, const WORD* quality, const FILETIME& timestamp) override;
    void ApplyPointInfo(const link::KelvanePointInfo& info) override;
    void ApplyPointStatus(std::uint32_t code) override;

private:
    friend class COPCGroup;  // keeps m_activeSlot, under the group lock

    PublishedValue& Published() noexcept { return m_slot->Value(); }
    // Under the group lock: the group's record while the item is active, else the item's.
    ReportedFields& Reported() noexcept;
    void ReleasePoint();
    void SignalValueArrived();
    // Under the item lock, after a change of what the slot's flags summarise.
    void RefreshSlotFlags() noexcept;
    // True when a value has arrived, else waits for one up to the first-value time-out.
    bool WaitForFirstValue();
    // The change test on one set of current fields, for values that own memory on either
    // side; under the group lock, and under the item lock when the current value owns memory.
    bool ReportIfChanged(ReportedFields& reported, const PublishedValue::Fields& current, VARIANT& value,
                         WORD& quality, FILETIME& timestamp, HRESULT& result);
    // The reported quality and timestamp := current; the entry's quality and timestamp, and
    // its value in the requested type.
    void FinishReport(ReportedFields& reported, const PublishedValue::Fields& current, VARIANT& value, WORD& quality,
                      FILETIME& timestamp, HRESULT& result);
    // True when the client asked for a type other than the canonical one.
    bool WantsConversion() const noexcept
    {
        return m_requestedType != VT_EMPTY && m_requestedType != m_canonicalType;
    }
    // `value` in the requested type; `result` the conversion's failure, else S_OK.
    void ConvertToRequested(VARIANT& value, HRESULT& result);
    // Reported := current; the client's copy in the requested type into `value`.
    HRESULT HandOut(bool outOfService, VARIANT& value);
    void StoreAccessRights(DWORD rights) noexcept;

    std::unique_ptr<PublishedSlot, PublishedSlot::Deleter> m_slot;
    // The reported fields while the item is inactive (see ReportedFields).
    ReportedFields m_inactiveReported;
    orv::com::CCriticalSection m_lock;
    COPCGroup* m_group;
    VARTYPE m_canonicalType = VT_EMPTY;
    VARTYPE m_requestedType = VT_EMPTY;
    OPCHANDLE m_clientHandle = 0;
    // OPC_READABLE and OPC_WRITEABLE.
    DWORD m_accessRights = OPC_READABLE | OPC_WRITEABLE;
    HRESULT m_lastReadResult = S_OK;
    bool m_valueArrivedSet = false;
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
