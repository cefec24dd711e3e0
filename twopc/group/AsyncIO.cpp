// IOPCAsyncIO2 and IOPCAsyncIO of COPCGroup: requests are checked and queued here, on the
// client's thread, and executed later by the asynchronous I/O thread.

#include "twopc/group/IdMgr.h"
#include "twopc/group/OPCGroup.h"
#include "twopc/io/AsyncIOMgr.h"

namespace twopc::group {

using io::CAsyncIOMgr;
using orv::com::CoTaskArray;
using orv::com::CSingleLock;
using orv::com::IsReadableArray;
using orv::com::IsWritableOut;

namespace {

bool IsSource(OPCDATASOURCE source)
{
    return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}

// Queues a transaction made by `make(transactionId)`; the ID goes to *id only on success,
// so a failure here or before leaves the client's ID at 0.
template <class Make>
HRESULT Queue(DWORD* id, Make make) noexcept
{
    try {
        CAsyncIOMgr* manager = CAsyncIOMgr::Current();
        if (!manager) return E_FAIL;
        DWORD transactionId = g_idMgr.AllocateId();
        HRESULT hr = manager->Enqueue(make(transactionId));
        if (SUCCEEDED(hr)) *id = transactionId;
        return hr;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

// Fills one error per handle: unknown handles and items without the needed right fail.
// Returns the positions of the handles that may go into the request.
template <class ItemMap, class HasRight>
std::vector<DWORD> CheckItems(const ItemMap& items, DWORD count, const OPCHANDLE* handles, HRESULT* errors,
                              HasRight hasRight)
{
    std::vector<DWORD> valid;
    for (DWORD i = 0; i < count; ++i) {
        auto found = items.find(handles[i]);
        errors[i] = found == items.end()       ? OPC_E_INVALIDHANDLE
                    : !hasRight(*found->second) ? OPC_E_BADRIGHTS
                                                : S_OK;
        if (errors[i] == S_OK) valid.push_back(i);
    }
    return valid;
}

constexpr auto kAnyRight = [](COPCItem&) { return true; };

HRESULT CancelQueued(DWORD transactionId) noexcept
{
    CAsyncIOMgr* manager = CAsyncIOMgr::Current();
    std::unique_ptr<io::CTransaction> cancelled = manager ? manager->Cancel(transactionId) : nullptr;
    return cancelled ? cancelled->OnCancel() : E_FAIL;
}

}  // namespace

// IOPCAsyncIO2

HRESULT COPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                        HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pdwCancelID) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *pdwCancelID = 0;
    *ppErrors = nullptr;
    if (!IsReadableArray(phServer, dwCount) || dwCount == 0) return E_INVALIDARG;
    if (!m_dataCallback.CurrentSink()) return CONNECT_E_NOCONNECTION;
    try {
        CoTaskArray<HRESULT> errors(dwCount);
        std::vector<DWORD> valid = CheckItems(m_items, dwCount, phServer, errors.Get(),
                                              [](COPCItem& item) { return item.IsReadable(); });
        HRESULT result = valid.size() == dwCount ? S_OK : S_FALSE;
        if (!valid.empty()) {
            std::vector<OPCHANDLE> handles;
            for (DWORD i : valid) handles.push_back(phServer[i]);
            HRESULT hr = Queue(pdwCancelID, [&](DWORD id) {
                return std::make_unique<io::CRead2Transaction>(id, this, dwTransactionID, std::move(handles));
            });
            if (FAILED(hr)) return hr;
        }
        *ppErrors = errors.Detach();
        return result;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pdwCancelID) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *pdwCancelID = 0;
    *ppErrors = nullptr;
    if (!IsReadableArray(pItemValues, dwCount) ||
        !IsReadableArray(phServer, dwCount) || dwCount == 0)
        return E_INVALIDARG;
    if (!m_dataCallback.CurrentSink()) return CONNECT_E_NOCONNECTION;
    try {
        CoTaskArray<HRESULT> errors(dwCount);
        std::vector<DWORD> valid = CheckItems(m_items, dwCount, phServer, errors.Get(),
                                              [](COPCItem& item) { return item.IsWritable(); });
        HRESULT result = valid.size() == dwCount ? S_OK : S_FALSE;
        if (!valid.empty()) {
            std::vector<OPCHANDLE> handles;
            std::vector<VARIANT> values;  // shallow: the transaction makes its own copies
            for (DWORD i : valid) {
                handles.push_back(phServer[i]);
                values.push_back(pItemValues[i]);
            }
            HRESULT hr = Queue(pdwCancelID, [&](DWORD id) {
                return std::make_unique<io::CWrite2Transaction>(id, this, dwTransactionID, std::move(handles),
                                                                values.data());
            });
            if (FAILED(hr)) return hr;
        }
        *ppErrors = errors.Detach();
        return result;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pdwCancelID)) return E_INVALIDARG;
    *pdwCancelID = 0;
    if (!m_dataCallback.CurrentSink()) return CONNECT_E_NOCONNECTION;
    if (!IsSource(dwSource)) return E_INVALIDARG;
    if (!m_active || m_activeCount == 0) return E_FAIL;
    return Queue(pdwCancelID, [&](DWORD id) {
        return std::make_unique<io::CRefresh2Transaction>(id, this, dwTransactionID, dwSource);
    });
}

HRESULT COPCGroup::Cancel2(DWORD dwCancelID) noexcept
{
    {
        CSingleLock hold(m_groupLock);
        if (m_removed) return E_FAIL;
    }
    // The queue is shared by every group: the ID alone decides, whoever queued it.
    return CancelQueued(dwCancelID);
}

HRESULT COPCGroup::SetEnable(BOOL bEnable) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!m_dataCallback.CurrentSink()) return CONNECT_E_NOCONNECTION;
    m_enable = bEnable;
    return S_OK;
}

HRESULT COPCGroup::GetEnable(BOOL* pbEnable) noexcept
{
    if (!IsWritableOut(pbEnable)) return E_FAIL;
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    *pbEnable = m_enable;
    return m_dataCallback.CurrentSink() ? S_OK : CONNECT_E_NOCONNECTION;
}

// IOPCAsyncIO

HRESULT COPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        DWORD* pTransactionID, HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pTransactionID) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *pTransactionID = 0;
    *ppErrors = nullptr;
    if (!IsSource(dwSource) || !IsReadableArray(phServer, dwCount) || dwCount == 0) return E_INVALIDARG;
    if (!HasDataConnection(dwConnection)) return OLE_E_NOCONNECTION;
    try {
        // Rights are not checked here: an item without them fails in the completion.
        CoTaskArray<HRESULT> errors(dwCount);
        const bool allValid = CheckItems(m_items, dwCount, phServer, errors.Get(), kAnyRight).size() == dwCount;
        // All or nothing: a request with any unknown handle is not queued at all.
        if (allValid) {
            std::vector<OPCHANDLE> handles(phServer, phServer + dwCount);
            HRESULT hr = Queue(pTransactionID, [&](DWORD id) {
                return std::make_unique<io::CReadTransaction>(id, this, dwConnection, dwSource, std::move(handles));
            });
            if (FAILED(hr)) return hr;
        }
        *ppErrors = errors.Detach();
        return allValid ? S_OK : S_FALSE;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD* pTransactionID, HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pTransactionID) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *pTransactionID = 0;
    *ppErrors = nullptr;
    if (!IsReadableArray(pItemValues, dwCount) ||
        !IsReadableArray(phServer, dwCount) || dwCount == 0)
        return E_INVALIDARG;
    if (!HasWriteConnection(dwConnection)) return OLE_E_NOCONNECTION;
    try {
        CoTaskArray<HRESULT> errors(dwCount);
        const bool allValid = CheckItems(m_items, dwCount, phServer, errors.Get(), kAnyRight).size() == dwCount;
        if (allValid) {
            std::vector<OPCHANDLE> handles(phServer, phServer + dwCount);
            HRESULT hr = Queue(pTransactionID, [&](DWORD id) {
                return std::make_unique<io::CWriteTransaction>(id, this, dwConnection, std::move(handles),
                                                               pItemValues);
            });
            if (FAILED(hr)) return hr;
        }
        *ppErrors = errors.Detach();
        return allValid ? S_OK : S_FALSE;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(pTransactionID)) return E_INVALIDARG;
    *pTransactionID = 0;
    if (!HasDataConnection(dwConnection)) return OLE_E_NOCONNECTION;
    if (!IsSource(dwSource)) return E_INVALIDARG;
    if (!m_active || m_activeCount == 0) return E_FAIL;
    return Queue(pTransactionID, [&](DWORD id) {
        return std::make_unique<io::CRefreshTransaction>(id, this, dwConnection, dwSource);
    });
}

HRESULT COPCGroup::Cancel(DWORD dwTransactionID) noexcept
{
    // Both generations cancel the same way: by the server's transaction ID.
    return Cancel2(dwTransactionID);
}

}  // namespace twopc::group
