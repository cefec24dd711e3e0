// The group scan: what the update-scan thread does with one due group. It finds the
// items whose value or quality changed since they were last reported and sends them to
// the group's data callback. The items' change test is here too, where the walk over the
// items can have it inline.

#include "twopc/group/OPCGroup.h"
#include "twopc/io/UpdateScanMgr.h"
#include "orv/hmx/Prefetch.h"
#include "twopc/io/ChangeRule.h"

namespace twopc::group {

using orv::com::CSingleLock;

namespace {

// How many records ahead of the change test the scan fetches the slot: enough to cover a
// cache miss to the other core, which wrote the published value on arrival, with the
// work of the records in between.
constexpr std::size_t kPrefetchDistance = 16;

}  // namespace

inline void COPCItem::FinishReport(ReportedFields& reported, const PublishedValue::Fields& current, VARIANT& value,
                                   WORD& quality, FILETIME& timestamp, HRESULT& result)
{
    reported.quality = current.quality;
    reported.ticks = current.ticks;
    quality = current.quality;
    timestamp = current.Timestamp();
    if (SUCCEEDED(result)) {
        result = S_OK;
        if (current.flags & PublishedValue::kConverts) ConvertToRequested(value, result);
    }
}

// The scan's loop has this inline; the path of numbers makes no call and touches nothing
// of the item but its record and its slot.
inline bool COPCItem::TestForChangeInline(ReportedFields& reported, OPCHANDLE& clientHandle, VARIANT& value,
                                          WORD& quality, FILETIME& timestamp, HRESULT& result)
{
    clientHandle = reported.clientHandle;
    PublishedValue::Fields current;
    reported.slot->Value().Read(current);
    if (current.flags & PublishedValue::kUnreadable) {
        result = OPC_E_BADRIGHTS;
        return false;
    }
    if (!orv::com::OwnsNothing(current.type)) {
        // A value that owns memory is copied while the arrivals cannot free it.
        CSingleLock hold(m_lock);
        return ReportIfChanged(reported, Published().Read(), value, quality, timestamp, result);
    }
    if (!orv::com::OwnsNothing(reported.type))
        return ReportIfChanged(reported, current, value, quality, timestamp, result);

    // Numbers, the path of nearly every update: compared and copied as the published words,
    // never as whole records (see PublishedValue).
    result = S_OK;
    if (current.quality == reported.quality && current.type == reported.type &&
        io::SamePlainForDataChange(current.type, current.payload, reported.payload))
        return false;
    reported.type = current.type;
    reported.payload = current.payload;
    current.CopyValueTo(value);
    FinishReport(reported, current, value, quality, timestamp, result);
    return true;
}

bool COPCItem::TestForChange(OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, FILETIME& timestamp,
                             HRESULT& result)
{
    return TestForChangeInline(Reported(), clientHandle, value, quality, timestamp, result);
}

bool COPCItem::ReportIfChanged(ReportedFields& reported, const PublishedValue::Fields& current, VARIANT& value,
                               WORD& quality, FILETIME& timestamp, HRESULT& result)
{
    const VARIANT currentValue = current.Value();
    if (current.quality == reported.quality && io::SameForDataChange(currentValue, reported.Value())) {
        result = S_OK;
        return false;
    }
    reported.SetValue(currentValue);
    result = orv::com::ReplaceVariant(value, reported.Value());
    FinishReport(reported, current, value, quality, timestamp, result);
    return true;
}

void COPCItem::ConvertToRequested(VARIANT& value, HRESULT& result)
{
    const HRESULT converted = VariantChangeType(&value, &value, 0, m_requestedType);
    result = FAILED(converted) ? converted : S_OK;
}

bool COPCGroup::Scan(std::int64_t& nextDueTicks, io::ScanArrays& arrays)
{
    orv::com::ComPtr<IOPCDataCallback> callback;
    OPCHANDLE clientGroupHandle = 0;
    ItemValues* changed = nullptr;
    DWORD count = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    {
        CSingleLock hold(m_groupLock);
        if (!m_active) return false;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        nextDueTicks =
            now.QuadPart + static_cast<std::int64_t>(m_updateRate) * io::CUpdateScanMgr::TicksPerMillisecond();
        if (m_activeCount == 0) return true;

        changed = &arrays.AtLeast(m_activeCount);
        ReportedFields* records = m_activeRecords.data();
        COPCItem* const* items = m_activeSlots.data();
        for (std::size_t i = m_activeRecords.size(); i-- > 0;) {
            if (i >= kPrefetchDistance && records[i - kPrefetchDistance].slot)
                orv::hmx::PrefetchToRead(records[i - kPrefetchDistance].slot);
            ReportedFields& record = records[i];
            // An unchanged item's entry is simply used again by the next one.
            if (record.slot && items[i]->TestForChangeInline(record, changed->clientHandles[count],
                                                             changed->values[count], changed->qualities[count],
                                                             changed->timestamps[count], changed->errors[count]))
                ++count;
        }
        if (count == 0) return true;
        if (m_enable) callback = m_dataCallback.CurrentSink();
        clientGroupHandle = m_clientHandle;
        for (DWORD i = 0; i < count; ++i) {
            if (changed->qualities[i] != OPC_QUALITY_GOOD) masterQuality = S_FALSE;
            if (changed->errors[i] != S_OK) {
                masterError = S_FALSE;
                changed->ClearValue(i);
            }
        }
    }
    // The arrays serve the thread's next scan; only this thread touches them, so no lock is needed.
    struct ClearAfterDelivery {
        ItemValues& values;
        DWORD count;
        ~ClearAfterDelivery() { values.ClearValues(count); }
    } clearAfterDelivery{*changed, count};

    // S_FALSE stands for "nobody was told" on either path.
    HRESULT delivered20 = S_FALSE;
    if (callback) {
        // Without the group lock, so that the client may call into the group from its
        // callback; the reference taken above keeps the sink alive if it is unadvised meanwhile.
        delivered20 = orv::com::CallClient([&] {
            return callback->OnDataChange(0, clientGroupHandle, masterQuality, masterError, count,
                                          changed->clientHandles.data(), changed->values.Data(),
                                          changed->qualities.data(), changed->timestamps.data(),
                                          changed->errors.data());
        });
        NoteClientCallResult(delivered20);
    }
    HRESULT delivered10 = BroadcastToDataConnections(count, *changed);

    if (delivered20 == S_OK || delivered10 == S_OK) {
        // A client that released its server from inside the callback has closed the link.
        if (auto owner = m_owner->Acquire()) owner->NoteDataDelivered();
        return true;
    }
    return delivered20 == S_FALSE && delivered10 == S_FALSE;
}

}  // namespace twopc::group
