// IOPCItemProperties of COPCServer. What an item ID offers depends on where it stands: a
// leaf of the address space, a branch of it, or a well-formed ID that the space does not
// hold (yet). Live values come from one device read through a temporary group that no
// client ever sees.

#include "twopc/server/OPCServer.h"

#include "orv/com/Owners.h"
#include "orv/hmx/ItemIdPath.h"
#include "twopc/browse/ProcessAddressSpace.h"
#include "twopc/io/UpdateScanMgr.h"

#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace twopc::server {

using orv::com::CoTaskArray;
using orv::com::CSingleLock;
using orv::com::IsWritableOut;
using orv::com::UniqueVariant;

namespace {

constexpr DWORD kPropCanonicalType = 1;
constexpr DWORD kPropValue = 2;
constexpr DWORD kPropQuality = 3;
constexpr DWORD kPropTimestamp = 4;
constexpr DWORD kPropAccessRights = 5;
constexpr DWORD kPropScanRate = 6;
constexpr DWORD kPropDescription = 101;

struct PropertyRow {
    DWORD id;
    VARTYPE type;
    const wchar_t* description;
};

// Searched front to back. Only the rows of the lists below are ever offered; the access
// rights row says VT_I2 although the value itself goes out as VT_I4.
constexpr PropertyRow kPropertyTable[] = {
    {1, VT_I2, L"Item Canonical Data Type"},
    {2, VT_VARIANT, L"Item Value"},
    {3, VT_I2, L"Item Quality"},
    {4, VT_DATE, L"Item TimeStamp"},
    {5, VT_I2, L"Item Access Rights"},
    {6, VT_R4, L"Server Scan Rate"},
    {100, VT_BSTR, L"EU Units"},
    {101, VT_BSTR, L"Item Description"},
    {102, VT_R8, L"High EU"},
    {103, VT_R8, L"Low EU"},
    {104, VT_R8, L"High Instrument Range"},
    {105, VT_R8, L"Low Instrument Range"},
    {106, VT_BSTR, L"Contact Close Label"},
    {107, VT_BSTR, L"Contact Open Label"},
    {108, VT_I4, L"Item Timezone"},
    {200, VT_BSTR, L"Default Display"},
    {201, VT_I4, L"Current Foreground Color"},
    {202, VT_I4, L"Current Background Color"},
    {203, VT_BOOL, L"Current Blink"},
    {204, VT_BSTR, L"BMP File"},
    {205, VT_BSTR, L"Sound File"},
    {206, VT_BSTR, L"HTML File"},
    {207, VT_BSTR, L"AVI File"},
};

constexpr DWORD kLeafProperties[] = {1, 2, 3, 4, 5, 6, 101};
constexpr DWORD kOutsideProperties[] = {1, 2, 3, 4, 5, 6};
constexpr DWORD kBranchProperties[] = {101};

constexpr float kScanRate = 1.0f;
constexpr OPCHANDLE kTemporaryClientHandle = 100;

constexpr const PropertyRow* FindRow(DWORD id) noexcept
{
    for (const PropertyRow& row : kPropertyTable)
        if (row.id == id) return &row;
    return nullptr;
}

constexpr bool AllInTable(std::span<const DWORD> ids) noexcept
{
    for (DWORD id : ids)
        if (!FindRow(id)) return false;
    return true;
}
static_assert(AllInTable(kLeafProperties) && AllInTable(kOutsideProperties) && AllInTable(kBranchProperties),
              "every property offered has a row");

enum class Standing { Leaf, Branch, Outside };

struct Classified {
    Standing standing;
    browse::NodeTypeInfo node;  // only for a leaf or a branch
};

// Empty for an ID that is neither in the address space nor well formed.
std::optional<Classified> Classify(LPCWSTR itemId)
{
    if (auto node = browse::LookUpNodeType(itemId))
        return Classified{node->isLeaf ? Standing::Leaf : Standing::Branch, std::move(*node)};
    if (FAILED(orv::hmx::CheckItemId(itemId))) return std::nullopt;
    return Classified{Standing::Outside, {VT_EMPTY, 0, true, std::nullopt}};
}

// What one device read of an item ID tells: its live state and, for IDs the address
// space does not describe, the type and rights the network gave the item.
struct DeviceRead {
    HRESULT result = E_FAIL;
    UniqueVariant value;
    WORD quality = OPC_QUALITY_BAD;
    FILETIME timestamp{};
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = 0;
};

class ModuleHold {
public:
    ModuleHold() noexcept { orv::com::ModuleLock::Lock(); }
    ~ModuleHold() { orv::com::ModuleLock::Unlock(); }
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;
};

// A group that exists for one read. It is never named, never entered in the server's maps
// and never activated, so nothing but this holder reaches it and taking it down cannot
// wait for anybody. The module stays locked from before the group exists until it is gone.
class TemporaryGroup {
public:
    TemporaryGroup(const std::shared_ptr<group::CGroupOwnerLink>& owner, group::IUpdateSchedule* schedule)
        : m_group(orv::com::MakeComObject<group::COPCGroup>(owner, schedule))
    {
    }
    ~TemporaryGroup()
    {
        m_group->TakeDown(true, nullptr);
    }
    TemporaryGroup(const TemporaryGroup&) = delete;
    TemporaryGroup& operator=(const TemporaryGroup&) = delete;

    group::COPCGroup* operator->() const noexcept { return m_group.Get(); }

    // Throws when the item cannot be made.
    OPCHANDLE AddItem(LPCWSTR itemId)
    {
        OPCITEMDEF definition{};
        definition.szItemID = const_cast<LPWSTR>(itemId);
        definition.szAccessPath = nullptr;
        definition.bActive = FALSE;
        definition.hClient = kTemporaryClientHandle;
        definition.vtRequestedDataType = VT_EMPTY;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = m_group->AddItems(1, &definition, &results, &errors);
        std::unique_ptr<OPCITEMRESULT, orv::com::CoTaskMemDeleter> resultsOwner(results);
        std::unique_ptr<HRESULT, orv::com::CoTaskMemDeleter> errorsOwner(errors);
        if (FAILED(hr) || FAILED(errors[0])) orv::com::ThrowHResult(E_FAIL);
        return results[0].hServer;
    }

private:
    ModuleHold m_moduleHold;
    orv::com::ComPtr<group::COPCGroup> m_group;
};

DeviceRead ReadThroughTemporaryItem(const std::shared_ptr<group::CGroupOwnerLink>& owner,
                                    group::IUpdateSchedule* schedule, LPCWSTR itemId)
{
    DeviceRead read;
    std::optional<TemporaryGroup> group;
    OPCHANDLE handle = 0;
    try {
        group.emplace(owner, schedule);
        handle = group->AddItem(itemId);
    } catch (...) {
        return read;  // E_FAIL, whatever stopped the group or its item
    }
    group::ItemValues values(1);
    (*group)->GroupRead(OPC_DS_DEVICE, 1, &handle, values);
    read.result = values.errors[0];
    *read.value.Get() = values.values[0];  // moved, not copied
    VariantInit(&values.values[0]);
    read.quality = values.qualities[0];
    read.timestamp = values.timestamps[0];
    if (auto attributes = (*group)->ItemAttributesOf(handle)) {
        read.canonicalType = attributes->canonicalType;
        read.accessRights = attributes->accessRights & (OPC_READABLE | OPC_WRITEABLE);
    }
    return read;
}

// A write-only point still has a type and rights worth reporting: only other failures
// make the read useless.
bool Usable(const DeviceRead& read) noexcept
{
    return SUCCEEDED(read.result) || read.result == OPC_E_BADRIGHTS;
}

// E_FAIL when the string cannot be allocated; that fails one property, not the call.
HRESULT PutText(VARIANT& out, const std::optional<std::wstring>& text) noexcept
{
    BSTR copy = text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : SysAllocString(L"");
    if (!copy) return E_FAIL;
    out.vt = VT_BSTR;
    out.bstrVal = copy;
    return S_OK;
}

void PutShort(VARIANT& out, unsigned value) noexcept
{
    out.vt = VT_I2;
    out.iVal = static_cast<SHORT>(value);
}

// An out-of-range time stamp fails its one property.
HRESULT PutTimestamp(VARIANT& out, const FILETIME& utc) noexcept
{
    SYSTEMTIME parts;
    DATE date;
    if (!FileTimeToSystemTime(&utc, &parts) || !SystemTimeToVariantTime(&parts, &date)) return E_FAIL;
    out.vt = VT_DATE;
    out.date = date;
    return S_OK;
}

// Builds the answer of GetItemProperties one property at a time; the device read is made
// when a property first needs it.
class PropertyReader {
public:
    PropertyReader(const Classified& item, LPCWSTR itemId, const std::shared_ptr<group::CGroupOwnerLink>& owner,
                   group::IUpdateSchedule* schedule)
        : m_item(item), m_itemId(itemId), m_owner(owner), m_schedule(schedule)
    {
    }

    HRESULT Read(DWORD id, VARIANT& out)
    {
        switch (m_item.standing) {
        case Standing::Branch:
            return id == kPropDescription ? PutText(out, m_item.node.description) : OPC_E_INVALID_PID;
        case Standing::Leaf: return ReadLeaf(id, out);
        case Standing::Outside: return ReadOutside(id, out);
        }
        return OPC_E_INVALID_PID;
    }

private:
    HRESULT ReadLeaf(DWORD id, VARIANT& out)
    {
        switch (id) {
        case kPropCanonicalType: PutShort(out, m_item.node.canonicalType); return S_OK;
        case kPropAccessRights:
            out.vt = VT_I4;
            out.lVal = static_cast<LONG>(m_item.node.accessRights);
            return S_OK;
        case kPropScanRate: return PutScanRate(out);
        case kPropDescription: return PutText(out, m_item.node.description);
        case kPropValue:
        case kPropQuality:
        case kPropTimestamp:
            // A failed read is not kept: the next of these properties tries again.
            if (!m_read || !Usable(*m_read)) m_read = ReadThroughTemporaryItem(m_owner, m_schedule, m_itemId);
            if (!Usable(*m_read)) return E_FAIL;
            return PutLive(id, out);
        default: return OPC_E_INVALID_PID;
        }
    }

    HRESULT ReadOutside(DWORD id, VARIANT& out)
    {
        if (id == kPropScanRate) return PutScanRate(out);
        if (id < kPropCanonicalType || id > kPropAccessRights) return OPC_E_INVALID_PID;
        if (!m_read) m_read = ReadThroughTemporaryItem(m_owner, m_schedule, m_itemId);
        // Nothing is known of such an ID without its read: the whole call fails.
        if (!Usable(*m_read)) orv::com::ThrowHResult(m_read->result);
        switch (id) {
        case kPropCanonicalType: PutShort(out, m_read->canonicalType); return S_OK;
        case kPropAccessRights:
            out.vt = VT_I4;
            out.lVal = static_cast<LONG>(m_read->accessRights);
            return S_OK;
        default: return PutLive(id, out);
        }
    }

    HRESULT PutLive(DWORD id, VARIANT& out)
    {
        switch (id) {
        case kPropValue:
            // Copied, so that a property asked for twice gets the value twice.
            orv::com::ThrowIfFailed(VariantCopy(&out, m_read->value.Get()));
            return S_OK;
        case kPropQuality: PutShort(out, m_read->quality); return S_OK;
        default: return PutTimestamp(out, m_read->timestamp);
        }
    }

    static HRESULT PutScanRate(VARIANT& out) noexcept
    {
        out.vt = VT_R4;
        out.fltVal = kScanRate;
        return S_OK;
    }

    const Classified& m_item;
    LPCWSTR m_itemId;
    const std::shared_ptr<group::CGroupOwnerLink>& m_owner;
    group::IUpdateSchedule* m_schedule;
    std::optional<DeviceRead> m_read;
};

std::span<const DWORD> OfferedProperties(Standing standing) noexcept
{
    switch (standing) {
    case Standing::Leaf: return kLeafProperties;
    case Standing::Outside: return kOutsideProperties;
    case Standing::Branch: break;
    }
    return kBranchProperties;
}

}  // namespace

// IOPCItemProperties

HRESULT COPCServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                             LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) noexcept
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(ppPropertyIDs) || !IsWritableOut(ppDescriptions) ||
        !IsWritableOut(ppvtDataTypes))
        return E_INVALIDARG;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    if (!szItemID) return E_INVALIDARG;
    CSingleLock hold(m_serverLock);
    browse::LookupBatch lookups;
    try {
        std::optional<Classified> item = Classify(szItemID);
        if (!item) return OPC_E_UNKNOWNITEMID;
        std::span<const DWORD> offered = OfferedProperties(item->standing);
        const std::size_t count = offered.size();
        CoTaskArray<DWORD> ids(count);
        CoTaskArray<VARTYPE> types(count);
        std::vector<CoTaskArray<wchar_t>> texts;
        texts.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const PropertyRow* row = FindRow(offered[i]);
            ids[i] = row->id;
            types[i] = row->type;
            texts.push_back(orv::com::CoTaskStringCopy(row->description));
            if (row->id != kPropValue) continue;
            types[i] = item->standing == Standing::Leaf ? item->node.canonicalType : VARTYPE{VT_R8};
        }
        CoTaskArray<LPWSTR> descriptions(count);
        for (std::size_t i = 0; i < count; ++i) descriptions[i] = texts[i].Detach();
        *pdwCount = static_cast<DWORD>(count);
        *ppPropertyIDs = ids.Detach();
        *ppDescriptions = descriptions.Detach();
        *ppvtDataTypes = types.Detach();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                      HRESULT** ppErrors) noexcept
{
    if (!IsWritableOut(ppvData) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    if (!szItemID || !orv::com::IsReadableArray(pdwPropertyIDs, dwCount) || dwCount == 0) return E_INVALIDARG;
    CSingleLock hold(m_serverLock);
    browse::LookupBatch lookups;
    try {
        std::optional<Classified> item = Classify(szItemID);
        if (!item) return OPC_E_UNKNOWNITEMID;
        std::vector<UniqueVariant> values(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        PropertyReader reader(*item, szItemID, m_ownerLink, &m_updateScanMgr->Schedule());
        for (DWORD i = 0; i < dwCount; ++i) errors[i] = reader.Read(pdwPropertyIDs[i], *values[i].Get());
        CoTaskArray<VARIANT, orv::com::VariantInside> data(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) values[i].DetachTo(&data[i]);
        *ppvData = data.Detach();
        *ppErrors = errors.Detach();
        // Also when a leaf's value read failed: that failure is in the error array (E_FAIL
        // for the value, quality and time stamp), and a failure code would tell a client
        // that it owns no arrays, so these would leak.
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                  HRESULT** ppErrors) noexcept
{
    if (!IsWritableOut(ppszNewItemIDs) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    if (!szItemID || !orv::com::IsReadableArray(pdwPropertyIDs, dwCount) || dwCount == 0) return E_INVALIDARG;
    CSingleLock hold(m_serverLock);
    browse::LookupBatch lookups;
    try {
        std::optional<Classified> item = Classify(szItemID);
        if (!item) return OPC_E_INVALIDITEMID;
        std::vector<CoTaskArray<wchar_t>> newIds(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            const DWORD id = pdwPropertyIDs[i];
            if (id == kPropValue && item->standing != Standing::Branch) {
                newIds[i] = orv::com::CoTaskStringCopy(szItemID);
                errors[i] = S_OK;
                continue;
            }
            // The value of a branch and the other offered properties have no item of their own.
            const bool offered = id == kPropDescription || (id >= kPropCanonicalType && id <= kPropScanRate);
            errors[i] = offered ? E_FAIL : OPC_E_INVALID_PID;
            result = S_FALSE;
        }
        CoTaskArray<LPWSTR> ids(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) ids[i] = newIds[i].Detach();
        *ppszNewItemIDs = ids.Detach();
        *ppErrors = errors.Detach();
        return result;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace twopc::server
