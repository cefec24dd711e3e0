#include "Json.h"

#include "Values.h"

#include <cmath>

namespace opcq {

JsonWriter& JsonWriter::Variant(const VARIANT& value)
{
    if (value.vt & VT_ARRAY) {
        const std::optional<std::vector<UniqueVariant>> elements = ArrayElements(value);
        if (!elements) return String(FormatValue(value));
        BeginArray();
        for (const UniqueVariant& element : *elements) Variant(element.Ref());
        return EndArray();
    }
    if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal) return Variant(*value.pvarVal);
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL: return Null();
    case VT_I1: return Integer(value.cVal);
    case VT_UI1: return Integer(value.bVal);
    case VT_I2: return Integer(value.iVal);
    case VT_UI2: return Integer(value.uiVal);
    case VT_I4: return Integer(value.lVal);
    case VT_UI4: return Unsigned(value.ulVal);
    case VT_INT: return Integer(value.intVal);
    case VT_UINT: return Unsigned(value.uintVal);
    case VT_I8: return Integer(value.llVal);
    case VT_UI8: return Unsigned(value.ullVal);
    case VT_R4: return std::isfinite(value.fltVal) ? Raw(FormatValue(value)) : Null();  // float digits
    case VT_R8: return Number(value.dblVal);
    case VT_CY: return Raw(FormatValue(value));  // exact decimal digits
    case VT_DECIMAL: return Number(NumericValue(value).value_or(0.0));
    case VT_BOOL: return Bool(value.boolVal != VARIANT_FALSE);
    default: return String(FormatValue(value));
    }
}

}  // namespace opcq
