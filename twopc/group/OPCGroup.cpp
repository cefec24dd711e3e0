#include "twopc/group/OPCGroup.h"

#include "twopc/group/IdMgr.h"
#include "twopc/io/WorkerThread.h"

#include <utility>

namespace twopc::group {

using orv::com::CSingleLock;
using orv::com::IsWritableOut;

namespace {

constexpr DWORD kMinimumUpdateRateMs = 10;

}  // namespace

COPCGroup::COPCGroup(std::shared_ptr<CGroupOwnerLink> owner, IUpdateSchedule* schedule)
    // Without its idle event a group could never be removed safely: refuse to exist.
    : m_idleEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_owner(std::move(owner)),
      m_schedule(schedule),
      m_serverHandle(g_idMgr.AllocateId())
{
    if (!m_idleEvent) {
        GiveBackId(m_serverHandle);
        orv::com::ThrowLastError();
    }
}

COPCGroup::~COPCGroup()
{
    TearDown();
}

void COPCGroup::TearDown()
{
    CSingleLock hold(m_groupLock);
    if (m_tornDown) return;
    m_tornDown = true;
    DestroyAllItems();
    m_adviseDataWithTime.Clear();
    m_adviseData.Clear();
    m_adviseWriteComplete.Clear();
    GiveBackId(m_serverHandle);
    m_dataCallback.Disconnect();
}

// IOPCGroupStateMgt

HRESULT COPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pUpdateRate) || !IsWritableOut(pActive) || !IsWritableOut(ppName) ||
        !IsWritableOut(pTimeBias) || !IsWritableOut(pPercentDeadband) || !IsWritableOut(pLCID) ||
        !IsWritableOut(phClientGroup) || !IsWritableOut(phServerGroup))
        return E_INVALIDARG;
    *pUpdateRate = m_updateRate;
    *pActive = m_active;
    *pTimeBias = m_timeBias;
    *pPercentDeadband = m_percentDeadband;
    *pLCID = m_locale;
    *phClientGroup = m_clientHandle;
    *phServerGroup = m_serverHandle;
    *ppName = nullptr;
    try {
        *ppName = orv::com::CoTaskStringCopy(m_name.c_str()).Detach();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pRevisedUpdateRate)) return E_INVALIDARG;
    if (pPercentDeadband && (*pPercentDeadband < 0.0f || *pPercentDeadband > 100.0f)) return E_INVALIDARG;

    m_percentDeadband = pPercentDeadband ? *pPercentDeadband : 0.0f;

    HRESULT result = S_OK;
    if (pRequestedUpdateRate) {
        DWORD rate = *pRequestedUpdateRate;
        if (rate < kMinimumUpdateRateMs) {
            rate = kMinimumUpdateRateMs;
            result = OPC_S_UNSUPPORTEDRATE;
        }
        DWORD previous = std::exchange(m_updateRate, rate);
        if (m_active && rate != previous)
            m_schedule->Retime(this, static_cast<std::int64_t>(rate) - static_cast<std::int64_t>(previous));
        *pRevisedUpdateRate = rate;
    }
    if (pTimeBias) m_timeBias = *pTimeBias;
    if (pLCID) m_locale = *pLCID;
    if (phClientGroup) m_clientHandle = *phClientGroup;
    try {
        if (pActive && FAILED(SetActive(*pActive != FALSE))) return E_FAIL;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
    return result;
}

HRESULT COPCGroup::SetName(LPCWSTR szName) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (szName && *szName == L'\0') return E_INVALIDARG;
    try {
        auto owner = m_owner->Acquire();
        if (!owner) return E_FAIL;
        std::wstring name = szName ? std::wstring(szName) : owner->GenerateGroupName();
        HRESULT hr = owner->RenameGroup(this, m_name, name);
        if (FAILED(hr)) return hr;
        m_name = std::move(name);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) noexcept
{
    DWORD updateRate;
    OPCHANDLE clientHandle;
    LONG timeBias;
    FLOAT percentDeadband;
    LCID locale;
    // Held for the whole call: the server cannot go while the clone is made, and a server
    // that has begun to go makes no clone.
    CGroupOwnerLink::Use owner;
    std::shared_ptr<ItemSnapshot> items;
    {
        // The state is copied under the group lock, which is then let go: the server's own
        // code never takes the server lock inside a group lock.
        CSingleLock hold(m_groupLock);
        if (m_removed) return E_FAIL;
        if (!IsWritableOut(ppUnk)) return E_INVALIDARG;
        *ppUnk = nullptr;
        updateRate = m_updateRate;
        clientHandle = m_clientHandle;
        timeBias = m_timeBias;
        percentDeadband = m_percentDeadband;
        locale = m_locale;
        owner = m_owner->Acquire();
        if (!owner) return E_FAIL;
        try {
            items = SnapshotItems();
        } catch (...) {
            return orv::com::HResultFromCaught();
        }
    }

    IOPCServer* server = owner->Server();
    OPCHANDLE cloneHandle = 0;
    DWORD revisedRate = 0;
    orv::com::ComPtr<IOPCItemMgt> cloneItems;
    HRESULT hr = server->AddGroup(szName, FALSE, updateRate, clientHandle, &timeBias, &percentDeadband, locale,
                                  &cloneHandle, &revisedRate, IID_IOPCItemMgt,
                                  reinterpret_cast<LPUNKNOWN*>(cloneItems.Put()));
    orv::com::ComPtr<IUnknown> clone;
    if (hr == S_OK) hr = cloneItems->QueryInterface(riid, clone.PutVoid());
    HRESULT copied = S_OK;
    if (hr == S_OK) {
        try {
            copied = CopyItemsInto(cloneItems.Get(), *items);
        } catch (...) {
            copied = orv::com::HResultFromCaught();
        }
        if (FAILED(copied)) hr = copied;
    }
    if (hr != S_OK) {
        clone.Reset();
        cloneItems.Reset();
        if (cloneHandle) server->RemoveGroup(cloneHandle, TRUE);
        return hr;
    }
    *ppUnk = clone.Detach();
    return copied;
}

// IConnectionPointContainer

HRESULT COPCGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept
{
    return m_dataCallback.EnumConnectionPoints(ppEnum);
}

HRESULT COPCGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept
{
    return m_dataCallback.FindConnectionPoint(riid, ppCP);
}

// Internal

HRESULT COPCGroup::SetActive(bool active)
{
    CSingleLock hold(m_groupLock);
    m_scanFailures = 0;
    if (active == m_active) return S_OK;
    m_active = active;
    if (active) {
        // While the scan thread has the entry out of the heap, it puts it back itself.
        if (!m_scheduled) {
            AddPendingUse();
            try {
                m_schedule->Insert(this, 0);
            } catch (...) {
                // No entry, so no activation: SetState answers the failure.
                m_active = false;
                DropPendingUse();
                return orv::com::HResultFromCaught();
            }
            m_scheduled = true;
        }
        return S_OK;
    }
    // Not the last pending use of a removed group: removal deactivates before it lets
    // the server's reference go.
    if (m_schedule->Remove(this)) {
        m_scheduled = false;
        DropPendingUse();
    }
    // Out of service, so that the first scan after a re-activation reports every item.
    for (auto& entry : m_items) entry.second->SetReportedQuality(OPC_QUALITY_OUT_OF_SERVICE);
    return S_OK;
}

bool COPCGroup::KeepScheduleEntry(bool scanned, unsigned failureLimit)
{
    CSingleLock hold(m_groupLock);
    m_scanFailures = scanned ? 0 : m_scanFailures + 1;
    if (m_active && m_scanFailures >= failureLimit) SetActive(false);
    if (m_active) return true;
    // The entry is out of the heap, so SetActive(false) could not take it: it goes now,
    // under the same hold that decided it, so that a re-activation makes a new one.
    m_scheduled = false;
    return false;
}

void COPCGroup::DropScheduleEntry()
{
    {
        CSingleLock hold(m_groupLock);
        m_scheduled = false;
    }
    DropPendingUse();
}

void COPCGroup::AddPendingUse()
{
    CSingleLock hold(m_groupLock);
    if (m_pendingUses++ == 0) ResetEvent(m_idleEvent.Get());
}

void COPCGroup::DropPendingUse()
{
    // Declared before the lock, so released after it: possibly the last reference.
    orv::com::ComPtr<COPCGroup> lastReference;
    CSingleLock hold(m_groupLock);
    if (--m_pendingUses != 0) return;
    SetEvent(m_idleEvent.Get());
    lastReference = std::move(m_serverReferenceAfterRemoval);
}

bool COPCGroup::IsActive()
{
    CSingleLock hold(m_groupLock);
    return m_active;
}

bool COPCGroup::IsRemoved()
{
    CSingleLock hold(m_groupLock);
    return m_removed;
}

OPCHANDLE COPCGroup::ClientHandle()
{
    CSingleLock hold(m_groupLock);
    return m_clientHandle;
}

orv::com::ComPtr<IOPCDataCallback> COPCGroup::DataCallback()
{
    return m_dataCallback.CurrentSink();
}

std::vector<OPCHANDLE> COPCGroup::ActiveItemHandles()
{
    CSingleLock hold(m_groupLock);
    std::vector<OPCHANDLE> handles;
    handles.reserve(m_activeCount);
    for (auto slot = m_activeSlots.rbegin(); slot != m_activeSlots.rend(); ++slot) {
        if (*slot) handles.push_back((*slot)->ServerHandle());
    }
    return handles;
}

DWORD COPCGroup::UpdateRate()
{
    CSingleLock hold(m_groupLock);
    return m_updateRate;
}

HRESULT COPCGroup::TakeDown(bool force, orv::com::ComPtr<COPCGroup> serverReference)
{
    bool wait;
    {
        CSingleLock hold(m_groupLock);
        m_removed = true;
        SetActive(false);
        m_dataCallback.Close();
        // Inside a client callback the work in progress may be the callback's own caller
        // (this group's scan or transaction, or DAdvise's refresh holding the group lock):
        // waiting for it would never end. It then finishes on its own, finds the group
        // removed, and the group lives until it has. A worker thread never waits either:
        // it also runs client code outside the callbacks proper (a sink's last Release).
        wait = m_pendingUses != 0 && !io::WorkerThread::OnWorkerThread() && !orv::com::InsideClientCallback();
    }
    if (wait) WaitForSingleObject(m_idleEvent.Get(), INFINITE);
    HRESULT result = S_OK;
    if (force) {
        result = CoDisconnectObject(Identity(), 0);
        TearDown();
    }
    CSingleLock hold(m_groupLock);
    // Only the server and clients hold references; the work in progress holds pending uses.
    if (!force && serverReference && References() > 1) result = OPC_S_INUSE;
    if (m_pendingUses != 0) m_serverReferenceAfterRemoval = std::move(serverReference);
    return result;
}

std::optional<ItemAttributes> COPCGroup::ItemAttributesOf(OPCHANDLE serverHandle)
{
    CSingleLock hold(m_groupLock);
    auto found = m_items.find(serverHandle);
    if (found == m_items.end()) return std::nullopt;
    return found->second->Attributes();
}

}  // namespace twopc::group
