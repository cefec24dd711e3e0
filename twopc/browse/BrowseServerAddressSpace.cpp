#include "twopc/browse/BrowseServerAddressSpace.h"

namespace twopc::browse {

HRESULT CreateBrowseObject(REFIID, void** ppv) noexcept
{
    *ppv = nullptr;
    return E_NOINTERFACE;
}

}  // namespace twopc::browse
