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

#include <list>
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

class COPCItem final : public link::IRealtimeSubscriber {
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
    // client gets; the reported fields become what was handed out. `value` must be empty.
    HRESULT Read(OPCDATASOURCE source, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp);
    // Converts to the canonical type and hands the value to the link.
    HRESULT Write(const VARIANT& value);
    HRESULT LastWriteResult();
    OPCHANDLE ClientHandle();

    // The data-change test: true when the item is to be reported, with the reported fields
    // brought up to date and the entry filled. `value` must be empty.
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
    void ReleasePoint();
    void SignalValueArrived();
    // Reported := current; the client's copy in the requested type into `value`.
    HRESULT HandOut(bool outOfService, VARIANT& value);

    orv::com::CCriticalSection m_lock;
    COPCGroup* m_group;
    std::wstring m_accessPath;
    std::wstring m_itemId;
    bool m_active = false;
    std::list<COPCItem*>::iterator m_activePosition;
    OPCHANDLE m_clientHandle = 0;
    OPCHANDLE m_serverHandle = 0;
    DWORD m_accessRights = OPC_READABLE | OPC_WRITEABLE;
    VARTYPE m_requestedType = VT_EMPTY;
    VARTYPE m_canonicalType = VT_EMPTY;
    orv::com::UniqueVariant m_reportedValue;
    WORD m_reportedQuality = 0;
    FILETIME m_reportedTimestamp{};
    HRESULT m_lastReadResult = S_OK;
    orv::com::UniqueVariant m_writeValue;
    HRESULT m_lastWriteResult = S_OK;
    orv::com::UniqueVariant m_currentValue;
    WORD m_currentQuality = OPC_QUALITY_GOOD;
    FILETIME m_currentTimestamp{};
    orv::com::UniqueHandle m_valueArrived;
    // Mirrors the event, so that the per-value path makes no kernel call once it is set.
    bool m_valueArrivedSet = false;
    orv::com::ComPtr<link::IKelvanePoint> m_point;
};

}  // namespace twopc::group
