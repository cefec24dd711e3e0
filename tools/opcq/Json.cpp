#include "Json.h"

#include "Values.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace opcq {
namespace {

bool IsSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUnicodeEscape(std::wstring& out, wchar_t c)
{
    wchar_t escape[8];
    std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
    out += escape;
}

}  // namespace

std::wstring JsonString(std::wstring_view text)
{
    std::wstring out = L"\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        switch (c) {
        case L'"': out += L"\\\""; continue;
        case L'\\': out += L"\\\\"; continue;
        case L'\b': out += L"\\b"; continue;
        case L'\f': out += L"\\f"; continue;
        case L'\n': out += L"\\n"; continue;
        case L'\r': out += L"\\r"; continue;
        case L'\t': out += L"\\t"; continue;
        default: break;
        }
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (c < 0x20 || IsSurrogate(c) || c == 0x2028 || c == 0x2029) {
            // A lone surrogate has no UTF-8 form; escaped, it survives the trip.
            AppendUnicodeEscape(out, c);
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

std::wstring JsonNumber(double number)
{
    if (!std::isfinite(number)) return L"null";
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), number);
    if (error != std::errc()) return L"null";
    return std::wstring(buffer, end);
}

JsonWriter& JsonWriter::BeginObject()
{
    Raw(L"{");
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    m_empty.pop_back();
    m_text += L'}';
    return *this;
}

JsonWriter& JsonWriter::BeginArray()
{
    Raw(L"[");
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray()
{
    m_empty.pop_back();
    m_text += L']';
    return *this;
}

JsonWriter& JsonWriter::Key(std::wstring_view name)
{
    BeforeValue();
    m_text += JsonString(name);
    m_text += L':';
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::wstring_view text)
{
    return Raw(JsonString(text));
}

JsonWriter& JsonWriter::StringOrNull(std::wstring_view text)
{
    return text.empty() ? Null() : String(text);
}

JsonWriter& JsonWriter::Number(double number)
{
    return Raw(JsonNumber(number));
}

JsonWriter& JsonWriter::Integer(long long number)
{
    return Raw(std::to_wstring(number));
}

JsonWriter& JsonWriter::Unsigned(unsigned long long number)
{
    return Raw(std::to_wstring(number));
}

JsonWriter& JsonWriter::Bool(bool flag)
{
    return Raw(flag ? L"true" : L"false");
}

JsonWriter& JsonWriter::Null()
{
    return Raw(L"null");
}

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

void JsonWriter::BeforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_empty.empty()) return;
    if (!m_empty.back()) m_text += L',';
    m_empty.back() = false;
}

JsonWriter& JsonWriter::Raw(std::wstring_view text)
{
    BeforeValue();
    m_text += text;
    return *this;
}

}  // namespace opcq
