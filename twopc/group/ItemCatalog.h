#pragma once
// What the address space knows of an item ID: its canonical type and access rights.

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>

namespace twopc::group {

struct ItemTypeInfo {
    VARTYPE canonicalType;
    DWORD accessRights;
};

// Nothing for an ID that the address space does not hold (yet).
std::optional<ItemTypeInfo> LookUpItemType(const std::wstring& itemId);

// The canonical type of an item the address space does not know, from the type the
// client asked for: null, boolean and text keep their type, everything else is a double.
VARTYPE CanonicalTypeForRequest(VARTYPE requested);

// Whether a zero value of `canonical` converts to `requested`; the conversion's failure otherwise.
HRESULT TestConversion(VARTYPE canonical, VARTYPE requested);

}  // namespace twopc::group
