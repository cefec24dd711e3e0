#pragma once
// Text to and from the values an OPC server deals in: VARIANTs, data type names, access
// rights, quality words and UTC timestamps. Pure functions, no server involved.

#include "ComOwners.h"
#include "orv/hmx/JsonWriter.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace opcq {

// "R8", "BSTR", "BOOL", "I4"...; arrays as "R8[]"; an unnamed type as its number.
std::wstring VarTypeName(VARTYPE type);
// Accepts the names above in any case, with or without "VT_", or a decimal number.
std::optional<VARTYPE> ParseVarTypeName(std::wstring_view name);

// "r" readable, "w" writable, "rw" (or "wr") both; the OPC_READABLE/OPC_WRITEABLE mask.
std::optional<DWORD> ParseAccessRights(std::wstring_view text);
// "r", "w", "rw", or "-" for neither.
std::wstring AccessRightsName(DWORD rights);

// A value for writing, parsed for the item's canonical type, or why it cannot be.
struct ParsedValue {
    UniqueVariant value;
    std::wstring error;  // empty on success
    bool Ok() const { return error.empty(); }
};
// R8: a finite decimal number; BOOL: true/false/1/0 in any case; BSTR and an unknown
// (VT_EMPTY) type: the text as it is; any other type: converted from the text by
// VariantChangeTypeEx in the invariant locale.
ParsedValue ParseValueForType(std::wstring_view text, VARTYPE canonicalType);

// The value as plain text: numbers in their shortest exact form, BOOL as true/false,
// text as it is, arrays as "[a, b]", EMPTY as "(empty)".
std::wstring FormatValue(const VARIANT& value);
// A double in its shortest exact form: "12.5", "42", "1e+21".
std::wstring FormatNumber(double number);
// A double with at most four significant digits, for where space is short: "0.9178".
std::wstring FormatCompactNumber(double number);
// As FormatValue, with text values in double quotes so that "" and " " show.
std::wstring DisplayValue(const VARIANT& value);
// The elements of a one-dimensional array value, each as a VARIANT of its own; nothing
// for an array of more dimensions or one that cannot be read.
std::optional<std::vector<UniqueVariant>> ArrayElements(const VARIANT& value);
// The value as a double, for types that are numbers (not BOOL, not text).
std::optional<double> NumericValue(const VARIANT& value);

// "good", "uncertain (last usable)", "bad (out of service)", with the limit when not OK.
std::wstring QualityName(WORD quality);
// QualityName followed by the quality word in hex: "good 0xC0".
std::wstring QualityText(WORD quality);

// ISO 8601 UTC with milliseconds, "2024-05-01T12:34:56.789Z"; "" for the zero time.
// Every time opcq prints has this form; a DATE value, which carries no zone, has it
// without the "Z".
std::wstring FormatUtcTimestamp(const FILETIME& time);
// A DATE known to hold a UTC time (the timestamp property), as FormatUtcTimestamp writes it.
std::wstring FormatUtcDate(DATE date);

// An HRESULT as "0x8004xxxx".
std::wstring HResultHex(HRESULT code);

// An error text as one line: line breaks and runs of blanks become one space, and the
// ends are trimmed.
std::wstring SingleLine(std::wstring_view text);

// Wide to UTF-8 and back, for output and for tests.
using orv::hmx::FromUtf8;
using orv::hmx::ToUtf8;

}  // namespace opcq
