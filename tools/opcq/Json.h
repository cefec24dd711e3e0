#pragma once
// A small JSON writer for the --json output: one compact document per Text(), built in
// order, with commas placed by the writer. Strings are escaped; numbers that JSON cannot
// carry (NaN, infinities) become null.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <vector>

namespace opcq {

// The text as a JSON string literal, quotes included.
std::wstring JsonString(std::wstring_view text);
// A double as a JSON number in its shortest exact form, or null when not finite.
std::wstring JsonNumber(double number);

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::wstring_view name);

    JsonWriter& String(std::wstring_view text);
    // A string, or null when the text is empty (timestamps that were never set).
    JsonWriter& StringOrNull(std::wstring_view text);
    JsonWriter& Number(double number);
    JsonWriter& Integer(long long number);
    JsonWriter& Unsigned(unsigned long long number);
    JsonWriter& Bool(bool flag);
    JsonWriter& Null();
    // Numbers as numbers, BOOL as true/false, text as strings, arrays as arrays, EMPTY
    // and NULL as null, anything else as the text FormatValue gives it.
    JsonWriter& Variant(const VARIANT& value);

    const std::wstring& Text() const { return m_text; }

private:
    void BeforeValue();
    JsonWriter& Raw(std::wstring_view text);

    std::wstring m_text;
    std::vector<bool> m_empty;  // one entry per open object or array: nothing in it yet
    bool m_afterKey = false;
};

}  // namespace opcq
