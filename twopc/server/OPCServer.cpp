#include "twopc/server/OPCServer.h"

#include "orv/com/Owners.h"
#include "twopc/io/AsyncIOMgr.h"
#include "twopc/io/UpdateScanMgr.h"
#include "twopc/server/ErrorText.h"
#include "twopc/server/ServerProcess.h"

#include <algorithm>
#include <array>

namespace twopc::server {

using orv::com::CSingleLock;
using orv::com::IsWritableOut;

namespace {

// The locales whose error texts the message table answers, in the order clients see them.
constexpr std::array<LCID, 3> kSupportedLocales = {1033, LOCALE_SYSTEM_DEFAULT, 0};

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
    m_updateScanMgr = io::CUpdateScanMgr::Attach();
    m_asyncIOMgr = io::CAsyncIOMgr::Attach();
    GetSystemTimeAsFileTime(&m_startTime);
    return S_OK;
}

void COPCServer::FinalRelease()
{
    ServerProcess::RemoveInstance();
    CSingleLock hold(m_groupMapLock);
    if (m_updateScanMgr) io::CUpdateScanMgr::Detach();
    if (m_asyncIOMgr) io::CAsyncIOMgr::Detach();
    m_updateScanMgr = nullptr;
    m_asyncIOMgr = nullptr;
}

void COPCServer::SetLastUpdateTime(const FILETIME& time) noexcept
{
    m_lastUpdateTime.store(ToUInt64(time), std::memory_order_relaxed);
}

// IOPCServer

HRESULT COPCServer::AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*, DWORD*, REFIID,
                             LPUNKNOWN*)
{
    return E_NOTIMPL;
}

HRESULT COPCServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString)
{
    if (!IsWritableOut(ppString)) return E_INVALIDARG;
    return LookUpErrorText(dwError, dwLocale, ppString);
}

HRESULT COPCServer::GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*)
{
    return E_NOTIMPL;
}

HRESULT COPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus)
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

HRESULT COPCServer::RemoveGroup(OPCHANDLE, BOOL)
{
    return E_NOTIMPL;
}

HRESULT COPCServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*)
{
    return E_NOTIMPL;
}

// IOPCCommon

HRESULT COPCServer::SetLocaleID(LCID dwLcid)
{
    if (std::find(kSupportedLocales.begin(), kSupportedLocales.end(), dwLcid) == kSupportedLocales.end())
        return E_INVALIDARG;
    CSingleLock hold(m_serverLock);
    m_localeId.store(dwLcid, std::memory_order_relaxed);
    return S_OK;
}

HRESULT COPCServer::GetLocaleID(LCID* pdwLcid)
{
    if (!IsWritableOut(pdwLcid)) return E_INVALIDARG;
    *pdwLcid = m_localeId.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT COPCServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(pdwLcid)) return E_INVALIDARG;
    LCID* locales = static_cast<LCID*>(CoTaskMemAlloc(sizeof(LCID) * kSupportedLocales.size()));
    if (!locales) return E_FAIL;
    std::copy(kSupportedLocales.begin(), kSupportedLocales.end(), locales);
    *pdwLcid = locales;
    *pdwCount = static_cast<DWORD>(kSupportedLocales.size());
    return S_OK;
}

HRESULT COPCServer::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    return GetErrorString(dwError, m_localeId.load(std::memory_order_relaxed), ppString);
}

HRESULT COPCServer::SetClientName(LPCWSTR szName)
{
    if (!szName) return E_INVALIDARG;
    try {
        CSingleLock hold(m_serverLock);
        m_clientName = szName;
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

// IConnectionPointContainer

HRESULT COPCServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    return m_shutdownPoint.EnumConnectionPoints(ppEnum);
}

HRESULT COPCServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    return m_shutdownPoint.FindConnectionPoint(riid, ppCP);
}

}  // namespace twopc::server
