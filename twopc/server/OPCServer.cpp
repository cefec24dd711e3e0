#include "twopc/server/OPCServer.h"

#include "orv/com/Enumerator.h"
#include "orv/com/Owners.h"
#include "twopc/browse/BrowseServerAddressSpace.h"
#include "twopc/group/IdMgr.h"
#include "twopc/io/AsyncIOMgr.h"
#include "twopc/io/UpdateScanMgr.h"
#include "twopc/server/ErrorText.h"
#include "twopc/server/ServerProcess.h"

#include <algorithm>
#include <array>
#include <vector>

namespace twopc::server {

using orv::com::CSingleLock;
using orv::com::IsWritableOut;

namespace {

// The locales whose error texts the message table answers, in the order clients see them.
constexpr std::array<LCID, 3> kSupportedLocales = {1033, LOCALE_SYSTEM_DEFAULT, 0};

constexpr DWORD kMinimumUpdateRateMs = 10;
constexpr WORD kMajorVersion = 1;
constexpr WORD kMinorVersion = 1;
constexpr WORD kBuildNumber = 21;

std::uint64_t ToUInt64(const FILETIME& time) noexcept
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(std::uint64_t value) noexcept
{
    return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

}  // namespace

COPCServer::COPCServer() = default;

COPCServer::~COPCServer() = default;

HRESULT COPCServer::FinalConstruct()
{
    ServerProcess::AddInstance();
    try {
        m_updateScanMgr = io::CUpdateScanMgr::Attach();
        m_asyncIOMgr = io::CAsyncIOMgr::Attach();
    } catch (...) {
        // A server that fails here is deleted without FinalRelease: it undoes its own part.
        if (m_updateScanMgr) io::CUpdateScanMgr::Detach();
        m_updateScanMgr = nullptr;
        ServerProcess::RemoveInstance();
        throw;
    }
    GetSystemTimeAsFileTime(&m_startTime);
    return S_OK;
}

void COPCServer::FinalRelease()
{
    // First, so that no group calls in from here on (a CloneGroup racing with this release
    // would add a group after the list below is made) and none is still calling.
    m_ownerLink->Close();
    ServerProcess::RemoveInstance();

    // Groups still here are removed with force, one at a time: each removal takes the
    // server lock and the group-map lock in the usual order, and a client may still be
    // inside one of the groups (SetName takes the group-map lock inside the group lock),
    // so holding the group-map lock across the removals could deadlock with it. Each
    // removal takes its group out of the map; nothing is allocated on this path, which
    // runs inside Release.
    for (;;) {
        OPCHANDLE handle;
        {
            CSingleLock maps(m_groupMapLock);
            if (m_groupsByHandle.empty()) break;
            handle = m_groupsByHandle.begin()->first;
        }
        RemoveGroup(handle, TRUE);
    }

    if (m_updateScanMgr) io::CUpdateScanMgr::Detach();
    if (m_asyncIOMgr) io::CAsyncIOMgr::Detach();
    m_updateScanMgr = nullptr;
    m_asyncIOMgr = nullptr;
}

void COPCServer::NoteDataDelivered()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    m_lastUpdateTime.store(ToUInt64(now), std::memory_order_relaxed);
}

// IOPCServer

HRESULT COPCServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                             LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                             DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) noexcept
{
    CSingleLock hold(m_serverLock);
    if (!IsWritableOut(phServerGroup) || !IsWritableOut(pRevisedUpdateRate) || !IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    *phServerGroup = 0;
    try {
        orv::com::ClientScope client(OwningClient());
        return CreateGroup(szName, bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias, pPercentDeadband, dwLCID,
                           phServerGroup, pRevisedUpdateRate, riid, ppUnk);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::CreateGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                                LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                                DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk)
{
    std::wstring name;
    if (!szName || !*szName) {
        name = GenerateGroupName();
    } else {
        name = szName;
        CSingleLock maps(m_groupMapLock);
        if (m_groupsByName.count(name)) return OPC_E_DUPLICATENAME;
    }

    HRESULT result = S_OK;
    DWORD rate = dwRequestedUpdateRate;
    if (rate < kMinimumUpdateRateMs) {
        rate = kMinimumUpdateRateMs;
        result = OPC_S_UNSUPPORTEDRATE;
    }
    *pRevisedUpdateRate = rate;

    LONG timeBias;
    if (pTimeBias) {
        timeBias = *pTimeBias;
    } else {
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        timeBias = zone.Bias;
    }
    if (pPercentDeadband && (*pPercentDeadband < 0.0f || *pPercentDeadband > 100.0f)) return E_INVALIDARG;

    auto group = orv::com::MakeComObject<group::COPCGroup>(m_ownerLink, &m_updateScanMgr->Schedule());
    orv::com::ComPtr<IUnknown> handedOut;
    HRESULT hr;
    try {
        hr = group->SetName(name.c_str());
        if (SUCCEEDED(hr)) hr = group->QueryInterface(riid, handedOut.PutVoid());
        if (SUCCEEDED(hr)) {
            CSingleLock maps(m_groupMapLock);
            if (!m_groupsByHandle.try_emplace(group->ServerHandle(), group).second) hr = E_FAIL;
        }
        if (SUCCEEDED(hr))
            hr = group->SetState(&rate, pRevisedUpdateRate, &bActive, &timeBias, pPercentDeadband, &dwLCID,
                                 &hClientGroup);
    } catch (...) {
        hr = orv::com::HResultFromCaught();
    }
    if (FAILED(hr)) {
        // Take the half-made group apart again: only the map entries it made itself go.
        // Its lock is taken under the server lock here, which is safe only because no
        // client has had the group in hand yet to advise a sink on it.
        group->TakeDown(true, ForgetGroup(group.Get()));
        return hr;
    }
    *phServerGroup = group->ServerHandle();
    *ppUnk = handedOut.Detach();
    ++m_groupCount;
    return result;
}

orv::com::ComPtr<group::COPCGroup> COPCServer::ForgetGroup(const group::COPCGroup* group)
{
    // Looked up by the group rather than by its name: reading the name would take the
    // group lock, which must not be taken here.
    CSingleLock maps(m_groupMapLock);
    auto byName = std::find_if(m_groupsByName.begin(), m_groupsByName.end(),
                               [group](const auto& entry) { return entry.second == group; });
    if (byName != m_groupsByName.end()) m_groupsByName.erase(byName);
    orv::com::ComPtr<group::COPCGroup> serverReference;
    auto byHandle = m_groupsByHandle.find(group->ServerHandle());
    if (byHandle != m_groupsByHandle.end() && byHandle->second.Get() == group) {
        serverReference = std::move(byHandle->second);
        m_groupsByHandle.erase(byHandle);
    }
    return serverReference;
}

HRESULT COPCServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) noexcept
{
    if (!IsWritableOut(ppString)) return E_INVALIDARG;
    return LookUpErrorText(dwError, dwLocale, ppString);
}

HRESULT COPCServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) noexcept
{
    if (!IsWritableOut(ppUnk) || !szName || !*szName) return E_INVALIDARG;
    *ppUnk = nullptr;
    try {
        CSingleLock maps(m_groupMapLock);
        auto found = m_groupsByName.find(szName);
        if (found == m_groupsByName.end()) return E_INVALIDARG;
        return found->second->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept
{
    CSingleLock hold(m_serverLock);
    if (!IsWritableOut(ppServerStatus)) return E_INVALIDARG;
    *ppServerStatus = nullptr;
    try {
        orv::com::CoTaskArray<OPCSERVERSTATUS> status(1);
        orv::com::CoTaskArray<wchar_t> vendor = orv::com::CoTaskStringCopy(L"Orvane");
        status[0].ftStartTime = m_startTime;
        GetSystemTimeAsFileTime(&status[0].ftCurrentTime);
        status[0].ftLastUpdateTime = ToFileTime(m_lastUpdateTime.load(std::memory_order_relaxed));
        status[0].dwServerState = OPC_STATUS_RUNNING;
        status[0].dwGroupCount = m_groupCount;
        status[0].dwBandWidth = 0xFFFFFFFF;
        status[0].wMajorVersion = kMajorVersion;
        status[0].wMinorVersion = kMinorVersion;
        status[0].wBuildNumber = kBuildNumber;
        status[0].wReserved = 0;
        status[0].szVendorInfo = vendor.Detach();
        *ppServerStatus = status.Detach();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) noexcept
{
    try {
        orv::com::ComPtr<group::COPCGroup> serverReference;
        {
            CSingleLock hold(m_serverLock);
            group::COPCGroup* group;
            {
                CSingleLock maps(m_groupMapLock);
                auto found = m_groupsByHandle.find(hServerGroup);
                if (found == m_groupsByHandle.end()) return E_INVALIDARG;
                group = found->second.Get();
            }
            // Out of the maps, a group can no longer be renamed, found or removed again.
            serverReference = ForgetGroup(group);
            --m_groupCount;
        }
        // Without the server lock: the work that the take-down waits for may be a client
        // callback that calls this server.
        group::COPCGroup* group = serverReference.Get();
        return group->TakeDown(bForce != FALSE, std::move(serverReference));
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) noexcept
{
    if (!IsWritableOut(ppUnk)) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (riid != IID_IEnumUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
    // Public groups do not exist: those scopes get an empty enumerator.
    const bool publicScope = dwScope == OPC_ENUM_PUBLIC_CONNECTIONS || dwScope == OPC_ENUM_PUBLIC;
    try {
        orv::com::ClientScope client(OwningClient());
        if (riid == IID_IEnumString) {
            orv::com::CEnumString::Vector names;
            if (!publicScope) {
                CSingleLock maps(m_groupMapLock);
                for (const auto& entry : m_groupsByName) names.push_back(entry.first);
            }
            const bool empty = names.empty();
            HRESULT hr = orv::com::CreateEnumerator<orv::com::CEnumString>(std::move(names),
                                                                         reinterpret_cast<IEnumString**>(ppUnk));
            return FAILED(hr) || !empty ? hr : S_FALSE;
        }
        orv::com::CEnumUnknown::Vector groups;
        if (!publicScope) {
            CSingleLock maps(m_groupMapLock);
            for (const auto& entry : m_groupsByName) groups.emplace_back(entry.second->Identity());
        }
        const bool empty = groups.empty();
        HRESULT hr = orv::com::CreateEnumerator<orv::com::CEnumUnknown>(std::move(groups),
                                                                      reinterpret_cast<IEnumUnknown**>(ppUnk));
        return FAILED(hr) || !empty ? hr : S_FALSE;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

// CGroupOwner

HRESULT COPCServer::RenameGroup(group::COPCGroup* group, const std::wstring& oldName, const std::wstring& newName)
{
    CSingleLock maps(m_groupMapLock);
    if (m_groupsByName.count(newName)) return OPC_E_DUPLICATENAME;
    auto old = oldName.empty() ? m_groupsByName.end() : m_groupsByName.find(oldName);
    if (!oldName.empty() && (old == m_groupsByName.end() || old->second != group)) return E_FAIL;
    // The new entry first: when it cannot be allocated, the old one is still there.
    m_groupsByName.emplace(newName, group);
    if (old != m_groupsByName.end()) m_groupsByName.erase(old);
    return S_OK;
}

std::wstring COPCServer::GenerateGroupName()
{
    // The digits go least significant first, and stay that way: 12 gives "$Group_21$".
    unsigned long number = group::g_idMgr.AllocateId();
    std::wstring name = L"$Group_";
    do {
        name += static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    name += L'$';
    return name;
}

// IOPCCommon

HRESULT COPCServer::SetLocaleID(LCID dwLcid) noexcept
{
    if (std::find(kSupportedLocales.begin(), kSupportedLocales.end(), dwLcid) == kSupportedLocales.end())
        return E_INVALIDARG;
    CSingleLock hold(m_serverLock);
    m_localeId.store(dwLcid, std::memory_order_relaxed);
    return S_OK;
}

HRESULT COPCServer::GetLocaleID(LCID* pdwLcid) noexcept
{
    if (!IsWritableOut(pdwLcid)) return E_INVALIDARG;
    *pdwLcid = m_localeId.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT COPCServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) noexcept
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(pdwLcid)) return E_INVALIDARG;
    try {
        orv::com::CoTaskArray<LCID> locales(kSupportedLocales.size());
        std::copy(kSupportedLocales.begin(), kSupportedLocales.end(), locales.Get());
        *pdwLcid = locales.Detach();
        *pdwCount = static_cast<DWORD>(kSupportedLocales.size());
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) noexcept
{
    return GetErrorString(dwError, m_localeId.load(std::memory_order_relaxed), ppString);
}

HRESULT COPCServer::SetClientName(LPCWSTR szName) noexcept
{
    if (!szName) return E_INVALIDARG;
    try {
        CSingleLock hold(m_serverLock);
        m_clientName = szName;
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::QueryExtraInterface(REFIID riid, void** ppv)
{
    if (riid != IID_IOPCBrowseServerAddressSpace) return E_NOINTERFACE;
    orv::com::ClientScope client(OwningClient());
    return browse::CreateBrowseObject(riid, ppv);
}

// IConnectionPointContainer

HRESULT COPCServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept
{
    return m_shutdownPoint.EnumConnectionPoints(ppEnum);
}

HRESULT COPCServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept
{
    return m_shutdownPoint.FindConnectionPoint(riid, ppCP);
}

}  // namespace twopc::server
