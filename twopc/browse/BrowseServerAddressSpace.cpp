#include "twopc/browse/BrowseServerAddressSpace.h"

#include "orv/com/Enumerator.h"
#include "orv/com/Owners.h"
#include "twopc/browse/ProcessAddressSpace.h"

#include <algorithm>
#include <cwchar>

namespace twopc::browse {

using orv::com::CSingleLock;
using orv::com::IsWritableOut;

namespace {

constexpr DWORD kAllAccessRights = OPC_READABLE | OPC_WRITEABLE;

// A zero value of the node's type must convert to the requested type. Types are compared
// through the conversion rather than for equality so that a client asking for text also
// sees the numbers, which any OPC read would hand it as text.
bool ConvertsTo(VARTYPE canonicalType, VARTYPE requestedType) noexcept
{
    // A zero payload owns nothing (the canonical types are scalars and BSTR, where a null
    // BSTR reads as ""), so the source needs no clearing.
    VARIANT zero{};
    V_VT(&zero) = canonicalType;
    orv::com::UniqueVariant converted;
    return SUCCEEDED(VariantChangeType(converted.Get(), &zero, 0, requestedType));
}

}  // namespace

// The three tests a child must pass to be listed, in the order they are applied.
struct COPCBrowseServerAddressSpace::ListingFilter {
    std::wstring_view namePattern;
    VARTYPE dataType;
    DWORD accessRights;

    bool Passes(const CAddrNode& node) const
    {
        if (!node.Matches(namePattern)) return false;
        // A plain container has no type to offer and is never hidden by the type test.
        const bool hasType = node.IsLeaf() || node.CanonicalType() != VT_EMPTY;
        if (dataType != VT_EMPTY && hasType && !ConvertsTo(node.CanonicalType(), dataType)) return false;
        return accessRights == 0 || (node.AccessRights() & accessRights) != 0;
    }
};

COPCBrowseServerAddressSpace::COPCBrowseServerAddressSpace(CAddrSpace& space) noexcept
    : m_space(space), m_position(&space.Root())
{
}

// IOPCBrowseServerAddressSpace

HRESULT COPCBrowseServerAddressSpace::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) noexcept
{
    if (!IsWritableOut(pNameSpaceType)) return E_INVALIDARG;
    *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(m_space.Organization());
    return S_OK;
}

HRESULT COPCBrowseServerAddressSpace::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                           LPCWSTR szString) noexcept
{
    try {
        return MovePosition(dwBrowseDirection, szString);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCBrowseServerAddressSpace::MovePosition(OPCBROWSEDIRECTION direction, LPCWSTR target)
{
    const bool hasTarget = target && *target;
    if (direction == OPC_BROWSE_DOWN && !hasTarget) return E_INVALIDARG;
    if (direction != OPC_BROWSE_UP && direction != OPC_BROWSE_DOWN && direction != OPC_BROWSE_TO)
        return E_INVALIDARG;

    CSingleLock hold(m_space.TreeLock());
    CAddrNode* destination = nullptr;
    switch (direction) {
    case OPC_BROWSE_UP:
        destination = m_position->Parent();
        break;
    case OPC_BROWSE_DOWN:
        // Children are found as the network lists them now, not as an earlier visit left them.
        if (FAILED(m_space.Refresh(*m_position))) return E_FAIL;
        destination = m_position->FindChild(target);
        break;
    default:
        destination = hasTarget ? m_space.Lookup(target) : &m_space.Root();
        break;
    }
    if (!destination) return E_FAIL;
    m_position = destination;
    return S_OK;
}

HRESULT COPCBrowseServerAddressSpace::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                                       VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                                       LPENUMSTRING* ppIEnumString) noexcept
{
    if (!IsWritableOut(ppIEnumString)) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    if (dwAccessRightsFilter > kAllAccessRights || static_cast<DWORD>(dwBrowseFilterType) > OPC_FLAT)
        return E_INVALIDARG;
    try {
        const ListingFilter filter{(szFilterCriteria && *szFilterCriteria) ? szFilterCriteria : L"*", vtDataTypeFilter,
                                   dwAccessRightsFilter};
        std::vector<std::wstring> names;
        {
            CSingleLock hold(m_space.TreeLock());
            if (dwBrowseFilterType == OPC_FLAT)
                ListLeavesBelow(*m_position, filter, names);
            else
                ListChildren(dwBrowseFilterType, filter, names);
        }
        // std::wstring compares UTF-16 code units as unsigned numbers: an ordinal order.
        std::sort(names.begin(), names.end());
        const bool empty = names.empty();
        orv::com::ClientScope client(OwningClient());
        const HRESULT hr = orv::com::CreateEnumerator<orv::com::CEnumString>(std::move(names), ppIEnumString);
        if (FAILED(hr)) return hr;
        return empty ? S_FALSE : S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

void COPCBrowseServerAddressSpace::ListChildren(OPCBROWSETYPE filterType, const ListingFilter& filter,
                                                std::vector<std::wstring>& names)
{
    // A position the network no longer knows simply has nothing to show.
    if (FAILED(m_space.Refresh(*m_position)) || m_position->IsLeaf()) return;
    for (const std::unique_ptr<CAddrNode>& child : m_position->Children()) {
        const bool wanted = (filterType == OPC_BRANCH && !child->IsLeaf()) || (filterType == OPC_LEAF && child->IsLeaf());
        if (wanted && filter.Passes(*child)) names.emplace_back(child->DisplayName());
    }
}

void COPCBrowseServerAddressSpace::ListLeavesBelow(CAddrNode& node, const ListingFilter& filter,
                                                   std::vector<std::wstring>& itemIds)
{
    if (FAILED(m_space.Refresh(node)) || node.IsLeaf()) return;
    // Refreshing a child rewrites only that child's list, never the one being walked here.
    for (const std::unique_ptr<CAddrNode>& child : node.Children()) {
        if (!child->IsLeaf())
            ListLeavesBelow(*child, filter, itemIds);
        else if (filter.Passes(*child))
            itemIds.push_back(child->FullItemId());
    }
}

HRESULT COPCBrowseServerAddressSpace::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) noexcept
{
    if (!IsWritableOut(szItemID) || !szItemDataID) return E_INVALIDARG;
    *szItemID = nullptr;
    try {
        orv::com::CoTaskArray<wchar_t> itemId;
        {
            CSingleLock hold(m_space.TreeLock());
            const CAddrNode* node = m_position;
            if (*szItemDataID) {
                // A name as the last listing showed it, else an item ID that needs no position.
                node = m_position->FindChild(szItemDataID);
                if (!node) node = m_space.Lookup(szItemDataID);
                if (!node) return OPC_E_UNKNOWNITEMID;
            }
            const std::wstring id = node->FullItemId();
            itemId = orv::com::CoTaskArray<wchar_t>(node->FullItemIdLength() + 1);
            std::wmemcpy(itemId.Get(), id.c_str(), id.size() + 1);
        }
        *szItemID = itemId.Detach();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCBrowseServerAddressSpace::BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) noexcept
{
    return E_NOTIMPL;
}

HRESULT CreateBrowseObject(REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CAddrSpace* space = TheAddressSpace();
    if (!space) return E_FAIL;
    return orv::com::CreateComObject<COPCBrowseServerAddressSpace>(riid, ppv, *space);
}

}  // namespace twopc::browse
