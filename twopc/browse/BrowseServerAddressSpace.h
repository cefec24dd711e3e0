#pragma once
// COPCBrowseServerAddressSpace: one client's position in the shared address space.

#include "orv/com/ComObject.h"
#include "twopc/browse/AddrSpace.h"

#include <opcda.h>

#include <string>
#include <vector>

namespace twopc::browse {

// A browse position over the process's address space. Every request a server instance
// gets for IOPCBrowseServerAddressSpace makes a new one at the root, so each client (and
// each request) moves independently while all of them share, and refresh, the one tree.
//
// Threading: each method holds the space's TreeLock() for its whole walk, because listings
// and moves refresh nodes that other objects and item creation see too. The position is
// read and written only under that lock. It is a plain pointer: the tree never frees a
// node while the process lives, so a position on a node that a refresh took out of the
// tree stays usable (it can still go up, list, and name its item ID).
class COPCBrowseServerAddressSpace final
    : public orv::com::ComObject<COPCBrowseServerAddressSpace, IOPCBrowseServerAddressSpace> {
public:
    explicit COPCBrowseServerAddressSpace(CAddrSpace& space) noexcept;

    // IOPCBrowseServerAddressSpace
    IFACEMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) noexcept override;
    IFACEMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) noexcept override;
    IFACEMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                    VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                    LPENUMSTRING* ppIEnumString) noexcept override;
    IFACEMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) noexcept override;
    IFACEMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) noexcept override;

private:
    struct ListingFilter;

    HRESULT MovePosition(OPCBROWSEDIRECTION direction, LPCWSTR target);
    void ListChildren(OPCBROWSETYPE filterType, const ListingFilter& filter, std::vector<std::wstring>& names);
    void ListLeavesBelow(CAddrNode& node, const ListingFilter& filter, std::vector<std::wstring>& itemIds);

    CAddrSpace& m_space;
    CAddrNode* m_position;
};

// Creates a browse object at the root and queries it for riid; E_FAIL while the address
// space does not exist.
HRESULT CreateBrowseObject(REFIID riid, void** ppv) noexcept;

}  // namespace twopc::browse
