#include "twopc/group/ItemCatalog.h"

#include "orv/com/Owners.h"
#include "twopc/browse/ProcessAddressSpace.h"

namespace twopc::group {

std::optional<ItemTypeInfo> LookUpItemType(const std::wstring& itemId)
{
    auto node = browse::LookUpNodeType(itemId);
    if (!node) return std::nullopt;
    return ItemTypeInfo{node->canonicalType, node->accessRights};
}

VARTYPE CanonicalTypeForRequest(VARTYPE requested)
{
    switch (requested & VT_TYPEMASK) {
    case VT_NULL: return VT_NULL;
    case VT_BOOL: return VT_BOOL;
    case VT_BSTR: return VT_BSTR;
    default: return VT_R8;
    }
}

HRESULT TestConversion(VARTYPE canonical, VARTYPE requested)
{
    orv::com::UniqueVariant zero;
    V_VT(zero.Get()) = canonical;
    return VariantChangeType(zero.Get(), zero.Get(), 0, requested);
}

}  // namespace twopc::group
