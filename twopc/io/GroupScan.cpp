// The group scan: what the update-scan thread does with one due group. It finds the
// items whose value or quality changed since they were last reported and sends them to
// the group's data callback.

#include "twopc/group/OPCGroup.h"
#include "twopc/io/UpdateScanMgr.h"

namespace twopc::group {

using orv::com::CSingleLock;

bool COPCGroup::Scan(std::int64_t& nextDueTicks)
{
    orv::com::ComPtr<IOPCDataCallback> callback;
    OPCHANDLE clientGroupHandle = 0;
    std::unique_ptr<ItemValues> changed;
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
        if (m_activeItems.empty()) return true;

        changed = std::make_unique<ItemValues>(m_activeItems.size());
        for (COPCItem* item : m_activeItems) {
            // An unchanged item's entry is simply used again by the next one.
            if (item->TestForChange(changed->clientHandles[count], changed->values[count], changed->qualities[count],
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

    // S_FALSE stands for "nobody was told" on either path.
    HRESULT delivered20 = S_FALSE;
    if (callback) {
        // Without the group lock, so that the client may call into the group from its
        // callback; the reference taken above keeps the sink alive if it is unadvised meanwhile.
        delivered20 = orv::com::CallClient([&] {
            return callback->OnDataChange(0, clientGroupHandle, masterQuality, masterError, count,
                                          changed->clientHandles.data(), changed->values.data(),
                                          changed->qualities.data(), changed->timestamps.data(),
                                          changed->errors.data());
        });
    }
    HRESULT delivered10 = BroadcastToDataConnections(count, *changed);

    if (delivered20 == S_OK || delivered10 == S_OK) {
        // A client that released its server from inside the callback has removed this group
        // on this very thread, without waiting for the scan: the server is gone then.
        if (!IsRemoved()) m_owner->NoteDataDelivered();
        return true;
    }
    return delivered20 == S_FALSE && delivered10 == S_FALSE;
}

}  // namespace twopc::group
