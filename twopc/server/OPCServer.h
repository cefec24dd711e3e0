#pragma once
// COPCServer: the one creatable class. Each client creation gets its own instance with
// its own groups, locale and client name; the link and the worker threads are shared by
// all instances of the process.
//
// Lock order: (a group's lock, when a client's OPC 1.0 sink calls in from under it), server
// lock, group-map lock. The start-up lock is taken only by final construction and final
// release, with no other lock held. The server lock is never held while the lock of a
// group that clients can reach is taken, nor while a removal waits for a group's work:
// RemoveGroup takes the group out of the maps under the server lock and takes it down
// after letting go. The only group locks taken under the server lock are those of a group
// AddGroup is still making and of the temporary group of a property read. Groups reach
// the server only through the owner link, which the final release closes before anything
// else.

#include "orv/com/ComObject.h"
#include "orv/com/ConnectionPoint.h"
#include "orv/com/CriticalSection.h"
#include "twopc/group/GroupOwner.h"
#include "twopc/group/OPCGroup.h"

#include <opcda.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace twopc::io {
class CUpdateScanMgr;
class CAsyncIOMgr;
}  // namespace twopc::io

namespace twopc::server {

class COPCServer final
    : public orv::com::ComObject<COPCServer, IOPCServer, IOPCCommon, IConnectionPointContainer, IOPCItemProperties>,
      public group::CGroupOwner {
public:
    COPCServer();
    ~COPCServer();

    HRESULT FinalConstruct();
    void FinalRelease();

    // IOPCServer
    IFACEMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                            DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) noexcept override;
    IFACEMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) noexcept override;
    IFACEMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) noexcept override;
    IFACEMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept override;
    IFACEMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) noexcept override;
    IFACEMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) noexcept override;

    // IOPCCommon
    IFACEMETHODIMP SetLocaleID(LCID dwLcid) noexcept override;
    IFACEMETHODIMP GetLocaleID(LCID* pdwLcid) noexcept override;
    IFACEMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) noexcept override;
    IFACEMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) noexcept override;
    IFACEMETHODIMP SetClientName(LPCWSTR szName) noexcept override;

    // IOPCItemProperties
    IFACEMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                            LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) noexcept override;
    IFACEMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                     HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                 HRESULT** ppErrors) noexcept override;

    // Every request for IOPCBrowseServerAddressSpace makes a new browse object, with a
    // position of its own, at the root of the process's address space.
    HRESULT QueryExtraInterface(REFIID riid, void** ppv);

    // IConnectionPointContainer
    IFACEMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept override;
    IFACEMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept override;

    // CGroupOwner
    HRESULT RenameGroup(group::COPCGroup* group, const std::wstring& oldName, const std::wstring& newName) override;
    std::wstring GenerateGroupName() override;
    IOPCServer* Server() override { return this; }
    void NoteDataDelivered() override;

private:
    HRESULT CreateGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                        LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                        DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk);
    // Takes the group out of both maps (only the entries that are its own) and hands
    // over the server's reference, null when the handle map did not hold it.
    orv::com::ComPtr<group::COPCGroup> ForgetGroup(const group::COPCGroup* group);

    const std::shared_ptr<group::CGroupOwnerLink> m_ownerLink = std::make_shared<group::CGroupOwnerLink>(this);
    io::CUpdateScanMgr* m_updateScanMgr = nullptr;
    io::CAsyncIOMgr* m_asyncIOMgr = nullptr;
    orv::com::CCriticalSection m_serverLock;
    FILETIME m_startTime{};
    // Written by the group scan without the server lock, which a client's callback may
    // hold while the scan waits for it.
    std::atomic<std::uint64_t> m_lastUpdateTime{0};
    DWORD m_groupCount = 0;
    orv::com::CCriticalSection m_groupMapLock;
    // Plain pointers: the handle map holds the server's reference on each group.
    std::map<std::wstring, group::COPCGroup*> m_groupsByName;
    std::map<OPCHANDLE, orv::com::ComPtr<group::COPCGroup>> m_groupsByHandle;
    std::atomic<LCID> m_localeId{LOCALE_SYSTEM_DEFAULT};
    std::wstring m_clientName;
    orv::com::SingleSinkConnectionPoint<IOPCShutdown> m_shutdownPoint{
        static_cast<IConnectionPointContainer*>(this)};
};

}  // namespace twopc::server
