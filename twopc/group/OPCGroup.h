#pragma once
// COPCGroup: a named, client-owned collection of items with one update rate, an active
// flag, a dead band, a time bias, a locale and a client handle. Created by its server's
// AddGroup and removed by its RemoveGroup.
//
// Locking: the group lock guards every field and is held for the whole of each
// interface method; the schedule lock, the server's group-map lock and one item lock
// at a time are taken inside it, never the other way round. The group's own code never
// takes the server lock inside the group lock; a client's OPC 1.0 sink, called under the
// group lock, may (the server therefore never takes the lock of a group that clients
// can reach while it holds the server lock).
//
// Work in progress (a schedule entry, a queued transaction) holds a pending use of the
// group, never a COM reference: a client-visible reference count is the server's
// reference and the clients' own. Removal waits until no pending use is left, except
// inside a client callback, where the work may be the callback's own caller; the server's
// reference is then given up by the last pending use, so the group outlives its work.
//
// Lifetime: removal marks the group removed (every later call answers E_FAIL). A forced
// removal also takes the group apart at once, but the object itself lives on until
// its last reference goes, because in-process clients keep plain pointers to it.

#include "orv/com/ComObject.h"
#include "orv/com/ConnectionPoint.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/Owners.h"
#include "twopc/group/AdviseConnections.h"
#include "twopc/group/EnumOPCItemAttributes.h"
#include "twopc/group/GroupOwner.h"
#include "twopc/group/OPCItem.h"
#include "twopc/io/ClipboardFormats.h"
#include "twopc/io/ItemValues.h"
#include "twopc/io/Schedule.h"
#include "twopc/io/Transactions.h"

#include <opcda.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace twopc::group {

using io::AdviseFormat;
using io::ItemValues;
using io::IUpdateSchedule;

class COPCGroup final
    : public orv::com::ComObject<COPCGroup, IOPCGroupStateMgt, IOPCSyncIO, IOPCAsyncIO, IOPCItemMgt, IOPCAsyncIO2,
                                 IDataObject, IConnectionPointContainer>,
      public io::IScheduledGroup,
      public io::ITransactionGroup {
public:
    COPCGroup(std::shared_ptr<CGroupOwnerLink> owner, IUpdateSchedule* schedule);
    ~COPCGroup();

    // IOPCGroupStateMgt
    IFACEMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) noexcept override;
    IFACEMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup) noexcept override;
    IFACEMETHODIMP SetName(LPCWSTR szName) noexcept override;
    IFACEMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) noexcept override;

    // IOPCSyncIO
    IFACEMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                        HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         HRESULT** ppErrors) noexcept override;

    // IOPCAsyncIO
    IFACEMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        DWORD* pTransactionID, HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD* pTransactionID, HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) noexcept override;
    IFACEMETHODIMP Cancel(DWORD dwTransactionID) noexcept override;

    // IOPCItemMgt
    IFACEMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                  HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) noexcept override;

    // IOPCAsyncIO2
    IFACEMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                        HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors) noexcept override;
    IFACEMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) noexcept override;
    IFACEMETHODIMP Cancel2(DWORD dwCancelID) noexcept override;
    IFACEMETHODIMP SetEnable(BOOL bEnable) noexcept override;
    IFACEMETHODIMP GetEnable(BOOL* pbEnable) noexcept override;

    // IDataObject
    IFACEMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) noexcept override;
    IFACEMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) noexcept override;
    IFACEMETHODIMP QueryGetData(FORMATETC* pformatetc) noexcept override;
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) noexcept override;
    IFACEMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) noexcept override;
    IFACEMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) noexcept override;
    IFACEMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                           DWORD* pdwConnection) noexcept override;
    IFACEMETHODIMP DUnadvise(DWORD dwConnection) noexcept override;
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) noexcept override;

    // IConnectionPointContainer
    IFACEMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept override;
    IFACEMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept override;

    // For the server.
    OPCHANDLE ServerHandle() const noexcept { return m_serverHandle; }
    // Marks the group removed, deactivates it and waits until no pending use is left
    // (not inside a client callback); then, with `force`, disconnects it and takes it
    // apart at once (the result is the disconnect's). Without force the server's
    // reference is dropped: OPC_S_INUSE while clients still hold the group, S_OK when
    // it went with it (or goes with the last pending use).
    HRESULT TakeDown(bool force, orv::com::ComPtr<COPCGroup> serverReference);
    // The attributes of one item, read under the group lock and the item's lock; empty
    // when no item has that handle.
    std::optional<ItemAttributes> ItemAttributesOf(OPCHANDLE serverHandle);

    // For the schedule and the asynchronous transactions (IScheduledGroup and
    // ITransactionGroup). A pending use is taken only while the group is not removed
    // (under the group lock); dropping the last one after a removal that did not wait may
    // destroy the group.
    orv::com::CCriticalSection& Lock() noexcept override { return m_groupLock; }
    void AddPendingUse() override;
    void DropPendingUse() override;
    bool IsActive() override;
    void NoteCallbackResult(HRESULT hr) noexcept override { NoteClientCallResult(hr); }
    bool IsRemoved();
    DWORD UpdateRate();

    // Reads and writes a list of items by server handle, for every read and write path;
    // S_OK when every entry succeeded, else S_FALSE. Take the group lock first.
    HRESULT GroupRead(OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles, ItemValues& out) override;
    HRESULT GroupWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, OPCHANDLE* clientHandles,
                       HRESULT* errors) override;

    // For the update-scan thread. Scan sends the changed items and gives the next due
    // time; false when it failed or found the group inactive.
    bool Scan(std::int64_t& nextDueTicks, io::ScanArrays& arrays) override;
    // Under the group lock, after each scan: counts the scan (a success resets the
    // count) and makes the group inactive after `failureLimit` failures in a row. True
    // while the group is active: its entry goes back into the schedule under this same
    // hold of the lock. Otherwise (made inactive here, or deactivated or removed since
    // the entry was popped) the entry is given up for good, and the caller drops its
    // pending use with DropPendingUse once it has let go of the group lock.
    bool KeepScheduleEntry(bool scanned, unsigned failureLimit) override;
    // The thread gives up an entry it popped, at shut-down.
    void DropScheduleEntry() override;

    // OPC 1.0 streams. The broadcast sends one scan's changes to every data connection:
    // S_OK when delivered, S_FALSE when there was no connection, else a failure. The
    // completions go to one connection: S_OK, S_FALSE when it went meanwhile, or
    // OLE_E_NOCONNECTION when it is not a connection of the right kind. All take the group lock.
    HRESULT BroadcastToDataConnections(DWORD count, const ItemValues& values);
    HRESULT SendReadCompletion(DWORD connection, DWORD transactionId, DWORD count,
                               const ItemValues& values) override;
    HRESULT SendWriteCompletion(DWORD connection, DWORD transactionId, DWORD count, const OPCHANDLE* clientHandles,
                                const HRESULT* errors) override;
    bool HasDataConnection(DWORD connection);
    bool HasWriteConnection(DWORD connection);

    // For the transactions: the state they need at execution, under the group lock.
    OPCHANDLE ClientHandle() override;
    orv::com::ComPtr<IOPCDataCallback> DataCallback() override;
    // The server handles of the active items, in active-list order.
    std::vector<OPCHANDLE> ActiveItemHandles() override;

    // For the items, under the group lock. Linking moves the item's reported fields into
    // the group (leaving `reported` without its value) and may throw std::bad_alloc;
    // unlinking cannot, and gives them back.
    void LinkActiveItem(COPCItem* item, ReportedFields& reported);
    ReportedFields UnlinkActiveItem(COPCItem* item) noexcept;
    ReportedFields& ActiveRecord(std::size_t activeSlot) noexcept { return m_activeRecords[activeSlot]; }

private:
    using ItemMap = std::map<OPCHANDLE, std::unique_ptr<COPCItem>>;
    // Applies `change` to each item named in `handles`, one at a time under the group lock.
    template <class Change>
    HRESULT ChangeItems(DWORD count, OPCHANDLE* handles, const void* values, HRESULT** ppErrors, Change change);
    HRESULT AddItemsLocked(DWORD count, const OPCITEMDEF* definitions, OPCITEMRESULT** ppAddResults,
                           HRESULT** ppErrors);
    // The items' attributes in ascending server-handle order.
    std::shared_ptr<ItemSnapshot> SnapshotItems();
    HRESULT CopyItemsInto(IOPCItemMgt* clone, const ItemSnapshot& items);
    void DestroyAllItems();
    HRESULT SetActive(bool active);
    void TearDown();

    orv::com::SingleSinkConnectionPoint<IOPCDataCallback> m_dataCallback{
        static_cast<IConnectionPointContainer*>(this)};
    orv::com::UniqueHandle m_idleEvent;
    long m_pendingUses = 0;
    // The server's reference after a removal that could not wait for the pending uses;
    // the last of them lets it go.
    orv::com::ComPtr<COPCGroup> m_serverReferenceAfterRemoval;
    orv::com::CCriticalSection m_groupLock;
    std::shared_ptr<CGroupOwnerLink> m_owner;
    IUpdateSchedule* m_schedule;
    unsigned m_scanFailures = 0;
    // From activation until the schedule's entry is given up; the entry may be out of the
    // heap while the scan thread has it.
    bool m_scheduled = false;
    bool m_removed = false;
    bool m_tornDown = false;
    DWORD m_updateRate = 0;
    bool m_active = false;
    bool m_enable = true;
    std::wstring m_name;
    LONG m_timeBias = 0;
    FLOAT m_percentDeadband = 0.0f;
    LCID m_locale = 0;
    OPCHANDLE m_clientHandle = 0;
    OPCHANDLE m_serverHandle;
    ItemMap m_items;
    CAdvisoryConnectionMgr m_adviseDataWithTime;
    CAdvisoryConnectionMgr m_adviseData;
    CAdvisoryConnectionMgr m_adviseWriteComplete;
    // The items whose active flag is set, in activation order: walked from the back, they
    // come newest first. A deactivated item leaves a null gap, closed once gaps outnumber
    // items; a contiguous array lets the scan walk tens of thousands of items without a
    // cache miss per list node.
    std::vector<COPCItem*> m_activeSlots;
    // The active items' reported fields, beside m_activeSlots (a gap's slot is null): the
    // scan walks these and, for numbers, never touches an item.
    std::vector<ReportedFields> m_activeRecords;
    std::size_t m_activeCount = 0;
};

}  // namespace twopc::group
