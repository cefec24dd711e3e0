// IOPCItemMgt of COPCGroup: adding, checking, removing and reconfiguring items.

#include "orv/hmx/ItemIdPath.h"
#include "twopc/browse/AddrSpace.h"
#include "twopc/group/ItemCatalog.h"
#include "twopc/group/OPCGroup.h"

#include <vector>

namespace twopc::group {

using orv::com::CoTaskArray;
using orv::com::CSingleLock;
using orv::com::IsReadableArray;
using orv::com::IsWritableOut;

namespace {

HRESULT Outcome(const CoTaskArray<HRESULT>& errors, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        if (FAILED(errors[i])) return S_FALSE;
    return S_OK;
}

}  // namespace

HRESULT COPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppAddResults) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (!IsReadableArray(pItemArray, dwCount) || dwCount == 0) return E_INVALIDARG;
    return AddItemsLocked(dwCount, pItemArray, ppAddResults, ppErrors);
}

HRESULT COPCGroup::AddItemsLocked(DWORD count, const OPCITEMDEF* definitions, OPCITEMRESULT** ppAddResults,
                                  HRESULT** ppErrors)
{
    std::vector<OPCHANDLE> added;
    browse::LookupBatch lookups;
    try {
        CoTaskArray<OPCITEMRESULT> results(count);
        CoTaskArray<HRESULT> errors(count);
        added.reserve(count);
        for (DWORD i = 0; i < count; ++i) {
            auto item = std::make_unique<COPCItem>(this);
            errors[i] = item->Initialise(definitions[i], results[i]);
            if (FAILED(errors[i])) {
                ZeroMemory(&results[i], sizeof(results[i]));
                continue;  // the failed item goes, and with it any subscription it made
            }
            OPCHANDLE handle = item->ServerHandle();
            if (!m_items.try_emplace(handle, std::move(item)).second) orv::com::ThrowHResult(E_FAIL);
            added.push_back(handle);
        }
        HRESULT outcome = Outcome(errors, count);
        *ppAddResults = results.Detach();
        *ppErrors = errors.Detach();
        return outcome;
    } catch (...) {
        // Nothing of a call that cannot complete stays behind.
        for (auto handle = added.rbegin(); handle != added.rend(); ++handle) {
            auto found = m_items.find(*handle);
            if (found == m_items.end()) continue;
            found->second->SetReportedQuality(OPC_QUALITY_OUT_OF_SERVICE);
            m_items.erase(found);
        }
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                 HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppValidationResults) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppValidationResults = nullptr;
    *ppErrors = nullptr;
    if (!IsReadableArray(pItemArray, dwCount) || dwCount == 0) return E_INVALIDARG;
    browse::LookupBatch lookups;
    try {
        CoTaskArray<OPCITEMRESULT> results(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            const OPCITEMDEF& definition = pItemArray[i];
            if (!definition.szItemID || !*definition.szItemID) {
                errors[i] = OPC_E_INVALIDITEMID;
                continue;
            }
            // The syntax comes first, also for an ID that the address space holds.
            if (FAILED(orv::hmx::CheckItemId(definition.szItemID))) {
                errors[i] = OPC_E_UNKNOWNITEMID;
                continue;
            }
            VARTYPE canonical = VT_R8;
            DWORD rights = OPC_READABLE | OPC_WRITEABLE;
            HRESULT code = E_FAIL;  // not known to the address space
            if (auto known = LookUpItemType(definition.szItemID)) {
                canonical = known->canonicalType;
                rights = known->accessRights;
                code = S_OK;
            }
            if (definition.vtRequestedDataType != VT_EMPTY) {
                code = TestConversion(canonical, definition.vtRequestedDataType);
                errors[i] = code;
                if (FAILED(code)) continue;
            }
            errors[i] = code;
            results[i].hServer = 0;
            results[i].vtCanonicalDataType = canonical;
            results[i].dwAccessRights = rights;
        }
        HRESULT outcome = Outcome(errors, dwCount);
        *ppValidationResults = results.Detach();
        *ppErrors = errors.Detach();
        return outcome;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppErrors) || !IsReadableArray(phServer, dwCount) || dwCount == 0) return E_INVALIDARG;
    *ppErrors = nullptr;
    try {
        CoTaskArray<HRESULT> errors(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            auto found = m_items.find(phServer[i]);
            if (found == m_items.end()) {
                errors[i] = OPC_E_INVALIDHANDLE;
                continue;
            }
            std::unique_ptr<COPCItem> item = std::move(found->second);
            item->SetReportedQuality(OPC_QUALITY_OUT_OF_SERVICE);
            m_items.erase(found);
            item.reset();  // leaves the active list and ends the subscription
            errors[i] = S_OK;
        }
        HRESULT outcome = Outcome(errors, dwCount);
        *ppErrors = errors.Detach();
        return outcome;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

template <class Change>
HRESULT COPCGroup::ChangeItems(DWORD count, OPCHANDLE* handles, const void* values, HRESULT** ppErrors,
                               Change change)
{
    {
        CSingleLock hold(m_groupLock);
        if (m_removed) return E_FAIL;
    }
    if (!IsWritableOut(ppErrors) || !IsReadableArray(handles, count) || !values || count == 0) return E_INVALIDARG;
    *ppErrors = nullptr;
    try {
        CoTaskArray<HRESULT> errors(count);
        CSingleLock hold(m_groupLock);
        for (DWORD i = 0; i < count; ++i) {
            auto found = m_items.find(handles[i]);
            if (found == m_items.end()) {
                errors[i] = OPC_E_INVALIDHANDLE;
                continue;
            }
            change(*found->second, i);
            errors[i] = S_OK;
        }
        HRESULT outcome = Outcome(errors, count);
        *ppErrors = errors.Detach();
        return outcome;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                  HRESULT** ppErrors) noexcept
{
    return ChangeItems(dwCount, phServer, &bActive, ppErrors,
                       [bActive](COPCItem& item, DWORD) { item.SetActive(bActive != FALSE); });
}

HRESULT COPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) noexcept
{
    return ChangeItems(dwCount, phServer, IsReadableArray(phClient, dwCount) ? phClient : nullptr, ppErrors,
                       [phClient](COPCItem& item, DWORD i) { item.SetClientHandle(phClient[i]); });
}

HRESULT COPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) noexcept
{
    VARTYPE* types = IsReadableArray(pRequestedDatatypes, dwCount) ? pRequestedDatatypes : nullptr;
    return ChangeItems(dwCount, phServer, types, ppErrors,
                       [pRequestedDatatypes](COPCItem& item, DWORD i) { item.SetRequestedType(pRequestedDatatypes[i]); });
}

HRESULT COPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppUnk)) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (riid != IID_IEnumOPCItemAttributes) return E_INVALIDARG;
    try {
        orv::com::ClientScope client(OwningClient());
        std::shared_ptr<const ItemSnapshot> snapshot = SnapshotItems();
        HRESULT hr = orv::com::CreateComObject<CEnumOPCItemAttributes>(riid, reinterpret_cast<void**>(ppUnk),
                                                                      snapshot, std::size_t{0});
        if (FAILED(hr)) return E_FAIL;
        return snapshot->empty() ? S_FALSE : S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

// Internal

std::shared_ptr<ItemSnapshot> COPCGroup::SnapshotItems()
{
    CSingleLock hold(m_groupLock);
    auto snapshot = std::make_shared<ItemSnapshot>();
    snapshot->reserve(m_items.size());
    for (auto& entry : m_items) snapshot->push_back(entry.second->Attributes());
    return snapshot;
}

HRESULT COPCGroup::CopyItemsInto(IOPCItemMgt* clone, const ItemSnapshot& items)
{
    if (items.empty()) return S_OK;
    std::vector<OPCITEMDEF> definitions(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        definitions[i].szAccessPath = const_cast<LPWSTR>(items[i].accessPath.c_str());
        definitions[i].szItemID = const_cast<LPWSTR>(items[i].itemId.c_str());
        definitions[i].bActive = items[i].active;
        definitions[i].hClient = items[i].clientHandle;
        definitions[i].dwBlobSize = 0;
        definitions[i].pBlob = nullptr;
        definitions[i].vtRequestedDataType = items[i].requestedType;
        definitions[i].wReserved = 0;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = clone->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results, &errors);
    std::unique_ptr<OPCITEMRESULT, orv::com::CoTaskMemDeleter> resultsOwner(results);
    std::unique_ptr<HRESULT, orv::com::CoTaskMemDeleter> errorsOwner(errors);
    return hr;
}

void COPCGroup::DestroyAllItems()
{
    CSingleLock hold(m_groupLock);
    while (!m_items.empty()) {
        auto first = m_items.begin();
        std::unique_ptr<COPCItem> item = std::move(first->second);
        m_items.erase(first);
        item->SetReportedQuality(OPC_QUALITY_OUT_OF_SERVICE);
    }
}

void COPCGroup::LinkActiveItem(COPCItem* item, ReportedFields& reported)
{
    CSingleLock hold(m_groupLock);
    m_activeSlots.push_back(item);
    try {
        m_activeRecords.push_back(reported);
    } catch (...) {
        m_activeSlots.pop_back();
        throw;
    }
    reported.ForgetValue();
    item->m_activeSlot = m_activeSlots.size() - 1;
    ++m_activeCount;
}

ReportedFields COPCGroup::UnlinkActiveItem(COPCItem* item) noexcept
{
    CSingleLock hold(m_groupLock);
    const std::size_t at = item->m_activeSlot;
    ReportedFields reported = m_activeRecords[at].TakeValue();
    m_activeRecords[at].slot = nullptr;
    m_activeSlots[at] = nullptr;
    --m_activeCount;
    // Closing the gaps keeps the order, so the walk stays newest first; doing it only when
    // they outnumber the items keeps a removal's cost constant on average.
    if (m_activeSlots.size() <= 2 * m_activeCount + 16) return reported;
    std::size_t kept = 0;
    for (std::size_t from = 0; from < m_activeSlots.size(); ++from) {
        COPCItem* active = m_activeSlots[from];
        if (!active) continue;
        active->m_activeSlot = kept;
        m_activeSlots[kept] = active;
        m_activeRecords[kept++] = m_activeRecords[from];
    }
    m_activeSlots.resize(kept);
    m_activeRecords.resize(kept);
    return reported;
}

}  // namespace twopc::group
