#pragma once
// When a value counts as unchanged for data change: same VARTYPE and equal by the rule of
// that type. Types whose comparison is not defined here (VT_CY, VT_DATE, VT_DECIMAL,
// VT_I8 and wider, arrays, by-reference) always count as changed, and so does a NaN.

#include <windows.h>
#include <oleauto.h>

#include <cmath>
#include <cstring>

namespace twopc::io {

// Inline: the update scan asks it of every active item on every scan.
inline bool SameForDataChange(const VARIANT& a, const VARIANT& b) noexcept
{
    if (a.vt != b.vt) return false;
    switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return true;
    case VT_I1:
    case VT_UI1:
        return a.bVal == b.bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return a.uiVal == b.uiVal;
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
        return a.ulVal == b.ulVal;
    case VT_R4:
        return !std::isnan(a.fltVal) && !std::isnan(b.fltVal) && a.fltVal == b.fltVal;
    case VT_R8:
        return !std::isnan(a.dblVal) && !std::isnan(b.dblVal) && a.dblVal == b.dblVal;
    case VT_BSTR: {
        UINT length = SysStringByteLen(a.bstrVal);
        return length == SysStringByteLen(b.bstrVal) &&
               (length == 0 || std::memcmp(a.bstrVal, b.bstrVal, length) == 0);
    }
    case VT_DISPATCH:
    case VT_UNKNOWN:
        return a.punkVal == b.punkVal;
    default:
        return false;
    }
}

}  // namespace twopc::io
