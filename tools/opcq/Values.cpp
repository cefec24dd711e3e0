#include "Values.h"

#include <opcda.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cwctype>

namespace opcq {
namespace {

struct TypeName {
    VARTYPE type;
    const wchar_t* name;
};

constexpr TypeName kTypeNames[] = {
    {VT_EMPTY, L"EMPTY"}, {VT_NULL, L"NULL"},         {VT_I2, L"I2"},           {VT_I4, L"I4"},
    {VT_R4, L"R4"},       {VT_R8, L"R8"},             {VT_CY, L"CY"},           {VT_DATE, L"DATE"},
    {VT_BSTR, L"BSTR"},   {VT_DISPATCH, L"DISPATCH"}, {VT_ERROR, L"ERROR"},     {VT_BOOL, L"BOOL"},
    {VT_VARIANT, L"VARIANT"}, {VT_UNKNOWN, L"UNKNOWN"}, {VT_DECIMAL, L"DECIMAL"}, {VT_I1, L"I1"},
    {VT_UI1, L"UI1"},     {VT_UI2, L"UI2"},           {VT_UI4, L"UI4"},         {VT_I8, L"I8"},
    {VT_UI8, L"UI8"},     {VT_INT, L"INT"},           {VT_UINT, L"UINT"},
};

// Text conversions of values use the invariant locale, so that "12.5" means the same on
// every machine.
const LCID kInvariantLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

std::wstring Upper(std::wstring_view text)
{
    std::wstring upper(text);
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return upper;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return Upper(a) == Upper(b);
}

std::wstring Quoted(std::wstring_view text)
{
    return L"\"" + std::wstring(text) + L"\"";
}

template <class Number>
std::wstring ShortestText(Number number)
{
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), number);
    if (error != std::errc()) return L"?";
    return std::wstring(buffer, end);
}

std::wstring CurrencyText(CY currency)
{
    // Four implied decimals; trailing zeros of the fraction are dropped.
    const bool negative = currency.int64 < 0;
    const unsigned long long magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(currency.int64) : static_cast<unsigned long long>(currency.int64);
    std::wstring text = (negative ? L"-" : L"") + std::to_wstring(magnitude / 10000);
    unsigned long long fraction = magnitude % 10000;
    if (fraction != 0) {
        wchar_t digits[8];
        std::swprintf(digits, 8, L"%04llu", fraction);
        std::wstring decimals = digits;
        decimals.erase(decimals.find_last_not_of(L'0') + 1);
        text += L"." + decimals;
    }
    return text;
}

// "2024-05-01T12:34:56.789", the time as it is, without a zone.
std::wstring IsoText(const SYSTEMTIME& time)
{
    wchar_t text[40];
    std::swprintf(text, 40, L"%04u-%02u-%02uT%02u:%02u:%02u.%03u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

// A DATE counts days from 1899-12-30 with the time of day as the fraction, which runs
// forward from the day below zero too (-1.25 is 1899-12-29 06:00). Converted to the
// millisecond, which VariantTimeToSystemTime would round away.
std::optional<FILETIME> DateToFileTime(DATE date)
{
    constexpr double kDaysFrom1601To1899 = 109205;
    constexpr double kMillisecondsPerDay = 86400000;
    const double days = date >= 0 ? date : 2 * std::ceil(date) - date;
    const double milliseconds = std::round((days + kDaysFrom1601To1899) * kMillisecondsPerDay);
    if (!(milliseconds >= 0 && milliseconds < 9e14)) return std::nullopt;  // to the year 30827
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<unsigned long long>(milliseconds) * 10000;
    return FILETIME{ticks.LowPart, ticks.HighPart};
}

std::wstring DateText(DATE date)
{
    const std::optional<FILETIME> time = DateToFileTime(date);
    SYSTEMTIME parts;
    if (!time || !FileTimeToSystemTime(&*time, &parts)) return ShortestText(date);
    return IsoText(parts);
}

std::wstring ArrayText(const VARIANT& value)
{
    const std::optional<std::vector<UniqueVariant>> elements = ArrayElements(value);
    if (!elements) return L"(array of " + VarTypeName(value.vt & VT_TYPEMASK) + L")";
    std::wstring text = L"[";
    for (const UniqueVariant& element : *elements) {
        if (text.size() > 1) text += L", ";
        text += DisplayValue(element.Ref());
    }
    return text + L"]";
}

std::wstring ConvertedText(const VARIANT& value)
{
    UniqueVariant text;
    if (SUCCEEDED(VariantChangeTypeEx(text.Get(), const_cast<VARIANT*>(&value), kInvariantLocale, 0, VT_BSTR)) &&
        text->bstrVal)
        return text->bstrVal;
    return L"(" + VarTypeName(value.vt) + L")";
}

ParsedValue Failure(std::wstring message)
{
    ParsedValue parsed;
    parsed.error = std::move(message);
    return parsed;
}

ParsedValue Text(std::wstring_view text)
{
    ParsedValue parsed;
    parsed.value->vt = VT_BSTR;
    parsed.value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!parsed.value->bstrVal) {
        parsed.value->vt = VT_EMPTY;
        return Failure(L"out of memory");
    }
    return parsed;
}

ParsedValue Double(std::wstring_view text)
{
    // Plain ASCII decimal or exponent notation only: no blanks, no hex, no locale.
    std::string narrow;
    for (wchar_t c : text) {
        if (c > 0x7F) return Failure(Quoted(text) + L" is not a number");
        narrow += static_cast<char>(c);
    }
    std::string_view digits = narrow;
    // from_chars takes no '+'; one is allowed, but not in front of another sign.
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
        if (digits.starts_with('+') || digits.starts_with('-')) return Failure(Quoted(text) + L" is not a number");
    }
    double number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error == std::errc::result_out_of_range) return Failure(Quoted(text) + L" is out of range for R8");
    if (error != std::errc() || end != digits.data() + digits.size()) return Failure(Quoted(text) + L" is not a number");
    if (!std::isfinite(number)) return Failure(Quoted(text) + L" is not a finite number");
    ParsedValue parsed;
    parsed.value->vt = VT_R8;
    parsed.value->dblVal = number;
    return parsed;
}

ParsedValue Boolean(std::wstring_view text)
{
    std::optional<bool> flag;
    if (EqualsIgnoringCase(text, L"true") || text == L"1") flag = true;
    if (EqualsIgnoringCase(text, L"false") || text == L"0") flag = false;
    if (!flag) return Failure(Quoted(text) + L" is not a boolean (true, false, 1 or 0)");
    ParsedValue parsed;
    parsed.value->vt = VT_BOOL;
    parsed.value->boolVal = *flag ? VARIANT_TRUE : VARIANT_FALSE;
    return parsed;
}

ParsedValue Converted(std::wstring_view text, VARTYPE type)
{
    ParsedValue source = Text(text);
    if (!source.Ok()) return source;
    ParsedValue parsed;
    HRESULT hr = VariantChangeTypeEx(parsed.value.Get(), source.value.Get(), kInvariantLocale, 0, type);
    if (hr == DISP_E_OVERFLOW) return Failure(Quoted(text) + L" is out of range for " + VarTypeName(type));
    if (FAILED(hr))
        return Failure(Quoted(text) + L" cannot be converted to " + VarTypeName(type) + L" (" + HResultHex(hr) + L")");
    return parsed;
}

}  // namespace

std::wstring VarTypeName(VARTYPE type)
{
    if (type & ~(VT_TYPEMASK | VT_ARRAY)) return std::to_wstring(type);
    const VARTYPE base = type & VT_TYPEMASK;
    std::wstring name = std::to_wstring(base);
    for (const TypeName& entry : kTypeNames)
        if (entry.type == base) name = entry.name;
    return (type & VT_ARRAY) ? name + L"[]" : name;
}

std::optional<VARTYPE> ParseVarTypeName(std::wstring_view name)
{
    std::wstring upper = Upper(name);
    std::wstring_view rest = upper;
    if (rest.starts_with(L"VT_")) rest.remove_prefix(3);
    VARTYPE arrayFlag = 0;
    if (rest.ends_with(L"[]")) {
        rest.remove_suffix(2);
        arrayFlag = VT_ARRAY;
    }
    if (rest.empty()) return std::nullopt;
    for (const TypeName& entry : kTypeNames)
        if (rest == entry.name) return static_cast<VARTYPE>(entry.type | arrayFlag);
    if (arrayFlag || rest.size() > 5) return std::nullopt;
    unsigned number = 0;
    for (wchar_t c : rest) {
        if (c < L'0' || c > L'9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > 0xFFFF) return std::nullopt;
    return static_cast<VARTYPE>(number);
}

std::optional<DWORD> ParseAccessRights(std::wstring_view text)
{
    const std::wstring upper = Upper(text);
    if (upper == L"R") return OPC_READABLE;
    if (upper == L"W") return OPC_WRITEABLE;
    if (upper == L"RW" || upper == L"WR") return OPC_READABLE | OPC_WRITEABLE;
    return std::nullopt;
}

std::wstring AccessRightsName(DWORD rights)
{
    std::wstring name;
    if (rights & OPC_READABLE) name += L'r';
    if (rights & OPC_WRITEABLE) name += L'w';
    return name.empty() ? L"-" : name;
}

ParsedValue ParseValueForType(std::wstring_view text, VARTYPE canonicalType)
{
    switch (canonicalType) {
    case VT_R8: return Double(text);
    case VT_BOOL: return Boolean(text);
    case VT_BSTR:
    case VT_EMPTY: return Text(text);
    default: return Converted(text, canonicalType);
    }
}

std::wstring FormatValue(const VARIANT& value)
{
    if (value.vt & VT_ARRAY) return ArrayText(value);
    if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal) return FormatValue(*value.pvarVal);
    switch (value.vt) {
    case VT_EMPTY: return L"(empty)";
    case VT_NULL: return L"(null)";
    case VT_I1: return std::to_wstring(static_cast<int>(value.cVal));
    case VT_UI1: return std::to_wstring(value.bVal);
    case VT_I2: return std::to_wstring(value.iVal);
    case VT_UI2: return std::to_wstring(value.uiVal);
    case VT_I4: return std::to_wstring(value.lVal);
    case VT_UI4: return std::to_wstring(value.ulVal);
    case VT_INT: return std::to_wstring(value.intVal);
    case VT_UINT: return std::to_wstring(value.uintVal);
    case VT_I8: return std::to_wstring(value.llVal);
    case VT_UI8: return std::to_wstring(value.ullVal);
    case VT_R4: return ShortestText(value.fltVal);
    case VT_R8: return ShortestText(value.dblVal);
    case VT_CY: return CurrencyText(value.cyVal);
    case VT_DATE: return DateText(value.date);
    case VT_BSTR: return value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : L"";
    case VT_BOOL: return value.boolVal ? L"true" : L"false";
    case VT_ERROR: return L"error " + HResultHex(value.scode);
    default: return ConvertedText(value);
    }
}

std::wstring FormatNumber(double number)
{
    return ShortestText(number);
}

std::wstring FormatCompactNumber(double number)
{
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), number, std::chars_format::general, 4);
    if (error != std::errc()) return L"?";
    return std::wstring(buffer, end);
}

std::wstring DisplayValue(const VARIANT& value)
{
    if (value.vt == VT_BSTR) return Quoted(FormatValue(value));
    return FormatValue(value);
}

std::optional<std::vector<UniqueVariant>> ArrayElements(const VARIANT& value)
{
    if (!(value.vt & VT_ARRAY)) return std::nullopt;
    SAFEARRAY* array = (value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray;
    if (!array || SafeArrayGetDim(array) != 1) return std::nullopt;
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return std::nullopt;
    const VARTYPE elementType = value.vt & VT_TYPEMASK;
    std::vector<UniqueVariant> elements;
    for (LONG index = lower; index <= upper; ++index) {
        UniqueVariant element;
        HRESULT hr;
        if (elementType == VT_VARIANT) {
            hr = SafeArrayGetElement(array, &index, element.Get());
        } else if (elementType == VT_DECIMAL) {
            hr = SafeArrayGetElement(array, &index, &element->decVal);
            element->vt = VT_DECIMAL;  // shares its word with the decimal's reserved field
        } else {
            // Every other payload starts at the union's address.
            hr = SafeArrayGetElement(array, &index, &element->llVal);
            if (SUCCEEDED(hr)) element->vt = elementType;
        }
        if (FAILED(hr)) return std::nullopt;
        elements.push_back(std::move(element));
    }
    return elements;
}

std::optional<double> NumericValue(const VARIANT& value)
{
    switch (value.vt) {
    case VT_I1: return value.cVal;
    case VT_UI1: return value.bVal;
    case VT_I2: return value.iVal;
    case VT_UI2: return value.uiVal;
    case VT_I4: return value.lVal;
    case VT_UI4: return value.ulVal;
    case VT_INT: return value.intVal;
    case VT_UINT: return value.uintVal;
    case VT_I8: return static_cast<double>(value.llVal);
    case VT_UI8: return static_cast<double>(value.ullVal);
    case VT_R4: return value.fltVal;
    case VT_R8: return value.dblVal;
    case VT_CY: return static_cast<double>(value.cyVal.int64) / 10000.0;
    case VT_DECIMAL: {
        double number = 0;
        if (SUCCEEDED(VarR8FromDec(const_cast<DECIMAL*>(&value.decVal), &number))) return number;
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

std::wstring QualityName(WORD quality)
{
    const WORD status = quality & OPC_STATUS_MASK;
    const WORD limit = quality & OPC_LIMIT_MASK;
    std::wstring name;
    switch (quality & OPC_QUALITY_MASK) {
    case OPC_QUALITY_GOOD: name = L"good"; break;
    case OPC_QUALITY_UNCERTAIN: name = L"uncertain"; break;
    case OPC_QUALITY_BAD: name = L"bad"; break;
    default: name = L"invalid"; break;
    }
    std::wstring detail;
    switch (status) {
    case OPC_QUALITY_GOOD:
    case OPC_QUALITY_UNCERTAIN:
    case OPC_QUALITY_BAD:
    case 0x80: break;
    case OPC_QUALITY_CONFIG_ERROR: detail = L"configuration error"; break;
    case OPC_QUALITY_NOT_CONNECTED: detail = L"not connected"; break;
    case OPC_QUALITY_DEVICE_FAILURE: detail = L"device failure"; break;
    case OPC_QUALITY_SENSOR_FAILURE: detail = L"sensor failure"; break;
    case OPC_QUALITY_LAST_KNOWN: detail = L"last known value"; break;
    case OPC_QUALITY_COMM_FAILURE: detail = L"communication failure"; break;
    case OPC_QUALITY_OUT_OF_SERVICE: detail = L"out of service"; break;
    case 0x20: detail = L"waiting for initial data"; break;
    case OPC_QUALITY_LAST_USABLE: detail = L"last usable value"; break;
    case OPC_QUALITY_SENSOR_CAL: detail = L"sensor not accurate"; break;
    case OPC_QUALITY_EGU_EXCEEDED: detail = L"engineering units exceeded"; break;
    case OPC_QUALITY_SUB_NORMAL: detail = L"sub-normal"; break;
    case OPC_QUALITY_LOCAL_OVERRIDE: detail = L"local override"; break;
    default: detail = L"substatus " + std::to_wstring((status & 0x3C) >> 2); break;
    }
    const wchar_t* limitName = limit == OPC_LIMIT_LOW    ? L"low limited"
                               : limit == OPC_LIMIT_HIGH  ? L"high limited"
                               : limit == OPC_LIMIT_CONST ? L"constant"
                                                          : L"";
    if (*limitName) detail += (detail.empty() ? L"" : L", ") + std::wstring(limitName);
    return detail.empty() ? name : name + L" (" + detail + L")";
}

std::wstring QualityText(WORD quality)
{
    wchar_t hex[16];
    std::swprintf(hex, 16, L" 0x%02X", static_cast<unsigned>(quality));
    return QualityName(quality) + hex;
}

std::wstring FormatUtcTimestamp(const FILETIME& time)
{
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return L"";
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc)) return L"(invalid time)";
    return IsoText(utc) + L"Z";
}

std::wstring FormatUtcDate(DATE date)
{
    const std::optional<FILETIME> time = DateToFileTime(date);
    return time ? FormatUtcTimestamp(*time) : ShortestText(date);
}

std::wstring HResultHex(HRESULT code)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

std::wstring SingleLine(std::wstring_view text)
{
    std::wstring line;
    bool pendingBlank = false;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            pendingBlank = !line.empty();
            continue;
        }
        if (pendingBlank) line += L' ';
        pendingBlank = false;
        line += c;
    }
    return line;
}

}  // namespace opcq
