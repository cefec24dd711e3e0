#pragma once
// When a value counts as unchanged for data change: same VARTYPE and equal by the rule of
// that type. Types whose comparison is not defined here (VT_CY, VT_DATE, VT_DECIMAL,
// VT_I8 and wider, arrays, by-reference) always count as changed, and so does a NaN.

#include <windows.h>
#include <oleauto.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace twopc::io {

// The rule for values that own nothing, on the payload word of each (the 8 bytes after
// the type and reserved words): the update scan compares numbers this way without
// assembling VARIANTs. Inline: the scan asks it of every active item on every scan.
inline bool SamePlainForDataChange(VARTYPE type, std::uint64_t a, std::uint64_t b) noexcept
{
    switch (type) {
    case VT_EMPTY:
    case VT_NULL:
        return true;
    case VT_I1:
    case VT_UI1:
        return static_cast<std::uint8_t>(a) == static_cast<std::uint8_t>(b);
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return static_cast<std::uint16_t>(a) == static_cast<std::uint16_t>(b);
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
        return static_cast<std::uint32_t>(a) == static_cast<std::uint32_t>(b);
    case VT_R4: {
        float x, y;
        const std::uint32_t xBits = static_cast<std::uint32_t>(a), yBits = static_cast<std::uint32_t>(b);
        std::memcpy(&x, &xBits, sizeof(x));
        std::memcpy(&y, &yBits, sizeof(y));
        return !std::isnan(x) && !std::isnan(y) && x == y;
    }
    case VT_R8: {
        double x, y;
        std::memcpy(&x, &a, sizeof(x));
        std::memcpy(&y, &b, sizeof(y));
        return !std::isnan(x) && !std::isnan(y) && x == y;
    }
    default:
        return false;
    }
}

inline std::uint64_t PayloadWord(const VARIANT& value) noexcept
{
    std::uint64_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(&value) + sizeof(std::uint64_t), sizeof(word));
    return word;
}

inline bool SameForDataChange(const VARIANT& a, const VARIANT& b) noexcept
{
    if (a.vt != b.vt) return false;
    switch (a.vt) {
    case VT_BSTR: {
        UINT length = SysStringByteLen(a.bstrVal);
        return length == SysStringByteLen(b.bstrVal) &&
               (length == 0 || std::memcmp(a.bstrVal, b.bstrVal, length) == 0);
    }
    case VT_DISPATCH:
    case VT_UNKNOWN:
        return a.punkVal == b.punkVal;
    default:
        return SamePlainForDataChange(a.vt, PayloadWord(a), PayloadWord(b));
    }
}

}  // namespace twopc::io
