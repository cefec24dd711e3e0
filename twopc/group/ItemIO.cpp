// Reading and writing one item record: the operations beneath every read and write path
// of the server. The change test is the scan's (GroupScan.cpp).

#include "twopc/group/OPCGroup.h"
#include "twopc/group/OPCItem.h"
#include "twopc/link/NetworkValue.h"

namespace twopc::group {

using orv::com::CSingleLock;

using orv::com::CopyOrError;

HRESULT COPCItem::Read(OPCDATASOURCE source, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality,
                       FILETIME& timestamp)
{
    orv::com::ComPtr<link::IKelvanePoint> point;
    {
        CSingleLock hold(m_lock);
        point = m_point;
    }
    if (point) {
        // Without the item lock: the link delivers the value that the wait expects through it.
        std::uint32_t mask = 0;
        link::NetworkValue current;
        std::uint32_t status = 0;
        std::uint64_t linkTimestamp = 0;
        HRESULT readResult = point->ReadCurrent(&mask, current.Put(), &status, &linkTimestamp);
        bool present = SUCCEEDED(readResult) && (mask & link::kfValue);
        if (present) {
            ApplyArrival(mask, current.Get(), status, linkTimestamp);
        } else {
            present = WaitForFirstValue();
        }

        CSingleLock hold(m_lock);
        HRESULT outcome = OPC_E_UNKNOWNITEMID;
        if (present) {
            // When ReadCurrent gave nothing, the timestamp of the arrival that was waited for counts.
            std::uint64_t stamp = SUCCEEDED(readResult) && (mask & link::kfValue) ? linkTimestamp
                                                                                 : Published().Read().ticks;
            if (m_accessRights == 0 || stamp == 0)
                outcome = OPC_E_UNKNOWNITEMID;
            else if (!(m_accessRights & OPC_READABLE))
                outcome = OPC_E_BADRIGHTS;
            else
                outcome = SUCCEEDED(readResult) && (mask & link::kfValue) ? readResult : S_OK;
        }
        m_lastReadResult = outcome;
        RefreshSlotFlags();
    }

    CSingleLock hold(m_lock);
    clientHandle = m_clientHandle;
    HRESULT result = m_lastReadResult;
    bool outOfService = source == OPC_DS_CACHE && (!m_active || !m_group->IsActive());
    HRESULT handedOut = HandOut(outOfService, value);
    const ReportedFields& reported = Reported();
    quality = reported.quality;
    timestamp = reported.Timestamp();
    return FAILED(result) ? result : handedOut;
}

HRESULT COPCItem::HandOut(bool outOfService, VARIANT& value)
{
    const PublishedValue::Fields current = Published().Read();
    ReportedFields& reported = Reported();
    reported.SetValue(current.Value());
    if (outOfService) {
        reported.quality = OPC_QUALITY_OUT_OF_SERVICE;
    } else {
        reported.quality = current.quality;
        reported.ticks = current.ticks;
    }
    HRESULT hr = orv::com::ReplaceVariant(value, reported.Value());
    if (SUCCEEDED(hr) && WantsConversion()) ConvertToRequested(value, hr);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT COPCItem::Write(const VARIANT& value)
{
    CSingleLock hold(m_lock);
    if (!(m_accessRights & OPC_WRITEABLE)) return m_lastWriteResult = OPC_E_BADRIGHTS;
    VARIANT& written = *m_writeValue.Get();
    CopyOrError(written, value);
    if (written.vt != m_canonicalType) {
        HRESULT hr = VariantChangeType(&written, &written, 0, m_canonicalType);
        if (FAILED(hr)) return m_lastWriteResult = hr;
    }
    link::NetworkValue networkValue;
    HRESULT hr = link::FromVariant(written, networkValue);
    if (SUCCEEDED(hr)) {
        if (m_point)
            m_point->Write(networkValue.Get());
        else
            hr = E_FAIL;
    }
    return m_lastWriteResult = hr;
}

}  // namespace twopc::group
