#include "twopc/group/OPCItem.h"

#include "twopc/group/IdMgr.h"
#include "twopc/group/ItemCatalog.h"
#include "twopc/group/OPCGroup.h"
#include "twopc/link/LinkSession.h"
#include "twopc/link/NetworkValue.h"

namespace twopc::group {

using orv::com::CSingleLock;

namespace {

// What the item asks the link for with every subscription.
constexpr link::KelvaneSubscription kSubscriptionRequest = {13, 7, 0, 0};

// How long a read waits for a point's first value.
constexpr DWORD kFirstValueWaitMs = 3000;

// Point status codes after which the point has no valid value until the next arrival.
constexpr std::uint32_t kPointStatusStale = 5;
constexpr std::uint32_t kPointStatusRestarting = 15;

}  // namespace

COPCItem::COPCItem(COPCGroup* group)
    : m_slot(PublishedSlot::Allocate(*this, PublishedValue::kLockedWritesOnly)), m_group(group)
{
    m_inactiveReported.slot = m_slot.get();
}

COPCItem::~COPCItem()
{
    SetActive(false);
    ReleasePoint();
    m_inactiveReported.ClearValue();
}

ReportedFields& COPCItem::Reported() noexcept
{
    return m_active ? m_group->ActiveRecord(m_activeSlot) : m_inactiveReported;
}

void COPCItem::RefreshSlotFlags() noexcept
{
    std::uint32_t flags = 0;
    // An arrival that would change more than the value (signal the first one, clear a
    // failed read's result) takes the item lock.
    if (!m_valueArrivedSet || m_lastReadResult != S_OK) flags |= PublishedValue::kLockedWritesOnly;
    if (!(m_accessRights & OPC_READABLE)) flags |= PublishedValue::kUnreadable;
    if (WantsConversion()) flags |= PublishedValue::kConverts;
    if (flags != Published().Flags()) Published().SetFlags(flags);
}

void COPCItem::StoreAccessRights(DWORD rights) noexcept
{
    m_accessRights = rights & (OPC_READABLE | OPC_WRITEABLE);
}

void COPCItem::ReleasePoint()
{
    orv::com::ComPtr<link::IKelvanePoint> point;
    {
        CSingleLock hold(m_lock);
        point.Swap(m_point);
    }
    // Outside the item lock: the link may be waiting for a callback that needs it.
    point.Reset();
}

HRESULT COPCItem::Initialise(const OPCITEMDEF& definition, OPCITEMRESULT& result)
{
    ZeroMemory(&result, sizeof(result));
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = OPC_READABLE | OPC_WRITEABLE;
    const VARTYPE requestedType = definition.vtRequestedDataType;
    std::wstring networkPath;
    {
        CSingleLock hold(m_lock);
        m_accessPath = definition.szAccessPath ? definition.szAccessPath : L"";
        m_itemId = definition.szItemID ? definition.szItemID : L"";
        m_clientHandle = definition.hClient;
        m_inactiveReported.clientHandle = definition.hClient;
        m_serverHandle = g_idMgr.AllocateId();
        m_requestedType = requestedType;
        StoreAccessRights(accessRights);
        m_canonicalType = canonicalType;
        if (m_itemId.empty()) return OPC_E_INVALIDITEMID;

        if (auto known = LookUpItemType(m_itemId)) {
            canonicalType = known->canonicalType;
            accessRights = known->accessRights;
        } else {
            canonicalType = CanonicalTypeForRequest(requestedType);
        }
        m_canonicalType = canonicalType;
        StoreAccessRights(accessRights);
        RefreshSlotFlags();
        networkPath = link::NetworkPathOf(m_itemId);
    }

    if (auto realtime = link::CurrentRealtime()) {
        // Without the item lock: the link may call back on its own thread before Subscribe
        // returns, and those calls then apply at once instead of waiting for this one. The
        // results below keep what the address space said, whatever the link says meanwhile.
        orv::com::ComPtr<link::IKelvanePoint> point;
        HRESULT hr = realtime->Subscribe(networkPath.c_str(), static_cast<link::IRealtimeSubscriber*>(m_slot.get()),
                                         &kSubscriptionRequest, point.Put());
        if (FAILED(hr)) return OPC_E_UNKNOWNITEMID;
        CSingleLock hold(m_lock);
        m_point = std::move(point);
    }

    if (requestedType != VT_EMPTY && FAILED(TestConversion(canonicalType, requestedType))) return OPC_E_BADTYPE;

    result.hServer = m_serverHandle;
    result.vtCanonicalDataType = canonicalType;
    result.dwAccessRights = accessRights;
    result.dwBlobSize = 0;
    result.pBlob = nullptr;
    return SetActive(definition.bActive != FALSE);
}

HRESULT COPCItem::SetActive(bool active)
{
    CSingleLock hold(m_lock);
    if (active == m_active) return S_OK;
    CSingleLock groupHold(m_group->Lock());
    if (active) {
        m_group->LinkActiveItem(this, m_inactiveReported);
        m_active = true;
        return S_OK;
    }
    m_inactiveReported = m_group->UnlinkActiveItem(this);
    m_active = false;
    // Reported out of service, so that the next activation reports the item afresh.
    if (m_group->IsActive()) m_inactiveReported.quality = OPC_QUALITY_OUT_OF_SERVICE;
    return S_OK;
}

void COPCItem::SetClientHandle(OPCHANDLE handle)
{
    CSingleLock groupHold(m_group->Lock());
    CSingleLock hold(m_lock);
    m_clientHandle = handle;
    Reported().clientHandle = handle;
}

void COPCItem::SetRequestedType(VARTYPE type)
{
    CSingleLock groupHold(m_group->Lock());
    CSingleLock hold(m_lock);
    m_requestedType = type;
    RefreshSlotFlags();
}

void COPCItem::SetReportedQuality(WORD quality)
{
    CSingleLock groupHold(m_group->Lock());
    CSingleLock hold(m_lock);
    Reported().quality = quality;
}

ItemAttributes COPCItem::Attributes()
{
    CSingleLock hold(m_lock);
    return {m_accessPath,   m_itemId,       m_active,        m_clientHandle,
            m_serverHandle, m_accessRights, m_requestedType, m_canonicalType};
}

COPCItem::Current COPCItem::CurrentState()
{
    CSingleLock hold(m_lock);
    const PublishedValue::Fields current = Published().Read();
    return {m_lastReadResult, current.quality, current.Timestamp(), m_canonicalType, m_accessRights,
            m_valueArrivedSet};
}

HRESULT COPCItem::CopyCurrentValue(VARIANT* out)
{
    CSingleLock hold(m_lock);
    VARIANT current = Published().Read().Value();
    return VariantCopy(out, &current);
}

// IPublishedSlotOwner

void COPCItem::PublishLocked(VARIANT* value, HRESULT converted, const WORD* quality, const FILETIME& timestamp)
{
    CSingleLock hold(m_lock);
    Published().Publish(value, quality, timestamp);
    if (value) {
        m_lastReadResult = converted;
        // Signalled under the lock: a woken reader then finds value and timestamp complete.
        SignalValueArrived();
    }
    RefreshSlotFlags();
}

void COPCItem::ApplyPointInfo(const link::KelvanePointInfo& info)
{
    CSingleLock hold(m_lock);
    if (info.mask & 0x2) m_canonicalType = link::CanonicalOf(info.type);
    if (info.mask & 0x4) {
        StoreAccessRights(((info.access & 0x1) ? OPC_READABLE : 0) | ((info.access & 0x2) ? OPC_WRITEABLE : 0));
        // A reader waiting for the first value of a point that has none must not wait in vain.
        if (!(m_accessRights & OPC_READABLE)) SignalValueArrived();
    }
    RefreshSlotFlags();
}

void COPCItem::ApplyPointStatus(std::uint32_t code)
{
    if (code != kPointStatusStale && code != kPointStatusRestarting) return;
    CSingleLock hold(m_lock);
    m_valueArrivedSet = false;
    if (m_valueArrived) ResetEvent(m_valueArrived.Get());
    RefreshSlotFlags();
}

void COPCItem::SignalValueArrived()
{
    if (m_valueArrivedSet) return;
    m_valueArrivedSet = true;
    if (m_valueArrived) SetEvent(m_valueArrived.Get());
}

bool COPCItem::WaitForFirstValue()
{
    HANDLE arrived = nullptr;
    {
        CSingleLock hold(m_lock);
        if (m_valueArrivedSet) return true;
        if (!m_valueArrived) {
            m_valueArrived.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!m_valueArrived) orv::com::ThrowLastError();
        }
        arrived = m_valueArrived.Get();
    }
    // Without the item lock, which the arrival needs. The event lives as long as the item,
    // and the item outlives every read of it.
    return WaitForSingleObject(arrived, kFirstValueWaitMs) == WAIT_OBJECT_0;
}

bool COPCItem::IsReadable()
{
    CSingleLock hold(m_lock);
    return (m_accessRights & OPC_READABLE) != 0;
}

bool COPCItem::IsWritable()
{
    CSingleLock hold(m_lock);
    return (m_accessRights & OPC_WRITEABLE) != 0;
}

OPCHANDLE COPCItem::ClientHandle()
{
    CSingleLock hold(m_lock);
    return m_clientHandle;
}

HRESULT COPCItem::LastWriteResult()
{
    CSingleLock hold(m_lock);
    return m_lastWriteResult;
}

}  // namespace twopc::group
