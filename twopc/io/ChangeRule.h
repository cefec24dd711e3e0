#pragma once
// When a value counts as unchanged for data change: same VARTYPE and equal by the rule of
// that type. Types whose comparison is not defined here (VT_CY, VT_DATE, VT_DECIMAL,
// VT_I8 and wider, arrays, by-reference) always count as changed, and so does a NaN.

#include <windows.h>
#include <oleauto.h>

namespace twopc::io {

bool SameForDataChange(const VARIANT& a, const VARIANT& b) noexcept;

}  // namespace twopc::io
