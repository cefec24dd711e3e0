#pragma once
// COPCBrowseServerAddressSpace: one client's position in the shared address space.

#include <opcda.h>

namespace twopc::browse {

// Creates a browse object at the root and queries it for riid; E_FAIL while the address
// space does not exist.
HRESULT CreateBrowseObject(REFIID riid, void** ppv) noexcept;

}  // namespace twopc::browse
