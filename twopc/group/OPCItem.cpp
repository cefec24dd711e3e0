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

FILETIME ToFileTime(std::uint64_t value) noexcept
{
    return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

}  // namespace

COPCItem::COPCItem(COPCGroup* group) : m_group(group) {}

COPCItem::~COPCItem()
{
    SetActive(false);
    ReleasePoint();
    VARIANT reported = ReportedValue();
    orv::com::ClearVariant(reported);
}

VARIANT COPCItem::ReportedValue() const noexcept
{
    VARIANT value;
    PublishedValue::StoreVariantWords(value, m_reportedType, m_reportedPayload);
    return value;
}

void COPCItem::SetReportedValue(const VARIANT& source) noexcept
{
    VARIANT copy;
    V_VT(&copy) = VT_EMPTY;
    orv::com::CopyOrError(copy, source);
    if (!PublishedValue::FitsOneWord(V_VT(&copy))) {
        VariantClear(&copy);
        V_VT(&copy) = VT_ERROR;
        V_ERROR(&copy) = DISP_E_BADVARTYPE;
    }
    VARIANT replaced = ReportedValue();
    m_reportedType = V_VT(&copy);
    m_reportedPayload = io::PayloadWord(copy);
    orv::com::ClearVariant(replaced);
}

void COPCItem::StoreAccessRights(DWORD rights) noexcept
{
    m_accessRights.store(static_cast<std::uint8_t>(rights & (OPC_READABLE | OPC_WRITEABLE)),
                         std::memory_order_relaxed);
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
        networkPath = link::NetworkPathOf(m_itemId);
    }

    if (auto realtime = link::CurrentRealtime()) {
        // Without the item lock: the link may call back on its own thread before Subscribe
        // returns, and those calls then apply at once instead of waiting for this one. The
        // results below keep what the address space said, whatever the link says meanwhile.
        orv::com::ComPtr<link::IKelvanePoint> point;
        HRESULT hr = realtime->Subscribe(networkPath.c_str(), static_cast<link::IRealtimeSubscriber*>(this),
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
        m_group->LinkActiveItem(this);
        m_active = true;
        return S_OK;
    }
    m_group->UnlinkActiveItem(this);
    m_active = false;
    // Reported out of service, so that the next activation reports the item afresh.
    if (m_group->IsActive()) m_reportedQuality = OPC_QUALITY_OUT_OF_SERVICE;
    return S_OK;
}

void COPCItem::SetClientHandle(OPCHANDLE handle)
{
    CSingleLock hold(m_lock);
    m_clientHandle = handle;
}

void COPCItem::SetRequestedType(VARTYPE type)
{
    CSingleLock hold(m_lock);
    m_requestedType = type;
}

void COPCItem::SetReportedQuality(WORD quality)
{
    CSingleLock hold(m_lock);
    m_reportedQuality = quality;
}

ItemAttributes COPCItem::Attributes()
{
    CSingleLock hold(m_lock);
    return {m_accessPath, m_itemId,        m_active,        m_clientHandle,
            m_serverHandle, m_accessRights.load(), m_requestedType, m_canonicalType};
}

COPCItem::Current COPCItem::CurrentState()
{
    CSingleLock hold(m_lock);
    const PublishedValue::Fields current = m_current.Read();
    return {m_lastReadResult, current.quality, current.Timestamp(), m_canonicalType, m_accessRights.load(),
            m_valueArrivedSet};
}

HRESULT COPCItem::CopyCurrentValue(VARIANT* out)
{
    CSingleLock hold(m_lock);
    VARIANT current = m_current.Read().Value();
    return VariantCopy(out, &current);
}

// IRealtimeSubscriber

void COPCItem::ApplyArrival(std::uint32_t mask, const link::KelvaneValue* value, std::uint32_t status,
                            std::uint64_t timestamp)
{
    orv::com::UniqueVariant arrived;
    const bool hasValue = (mask & link::kfValue) && value;
    const HRESULT converted = hasValue ? link::ToVariantInline(*value, arrived.Get()) : S_OK;
    const WORD quality = status == 0 ? OPC_QUALITY_GOOD : OPC_QUALITY_BAD;
    const WORD* newQuality = (mask & link::kfStatus) ? &quality : nullptr;
    FILETIME stamp;
    if (mask & link::kfTimestamp)
        stamp = ToFileTime(timestamp);
    else
        GetSystemTimeAsFileTime(&stamp);

    // The path of every number: no item lock, only the publication's own count.
    if (orv::com::OwnsNothing(arrived.Ref()) &&
        m_current.TryPublishPlain(hasValue ? arrived.Get() : nullptr, newQuality, stamp)) {
        if (!hasValue) return;
        m_lastReadResult.store(converted, std::memory_order_relaxed);
        if (!m_valueArrivedSet.load(std::memory_order_acquire)) {
            CSingleLock hold(m_lock);
            SignalValueArrived();
        }
        return;
    }
    CSingleLock hold(m_lock);
    m_current.Publish(hasValue ? arrived.Get() : nullptr, newQuality, stamp);
    if (hasValue) {
        m_lastReadResult.store(converted, std::memory_order_relaxed);
        // Signalled under the lock: a woken reader then finds value and timestamp complete.
        SignalValueArrived();
    }
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
}

void COPCItem::ApplyPointStatus(std::uint32_t code)
{
    if (code != kPointStatusStale && code != kPointStatusRestarting) return;
    CSingleLock hold(m_lock);
    m_valueArrivedSet.store(false, std::memory_order_relaxed);
    if (m_valueArrived) ResetEvent(m_valueArrived.Get());
}

void COPCItem::SignalValueArrived()
{
    if (m_valueArrivedSet.load(std::memory_order_relaxed)) return;
    m_valueArrivedSet.store(true, std::memory_order_release);
    if (m_valueArrived) SetEvent(m_valueArrived.Get());
}

bool COPCItem::WaitForFirstValue()
{
    HANDLE arrived = nullptr;
    {
        CSingleLock hold(m_lock);
        if (m_valueArrivedSet.load(std::memory_order_relaxed)) return true;
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
