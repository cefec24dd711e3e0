#pragma once
// A small JSON writer for the tools' and the benchmark's output: one compact document
// built in order, with commas placed by the writer. Strings are escaped; numbers that JSON
// cannot carry (NaN, infinities) become null. The text is wide; ToUtf8 gives its bytes.

#include <windows.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace orv::hmx {

// The text as a JSON string literal, quotes included.
inline std::wstring JsonString(std::wstring_view text)
{
    const auto high = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto low = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
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
        if (high(c) && i + 1 < text.size() && low(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (c < 0x20 || high(c) || low(c) || c == 0x2028 || c == 0x2029) {
            // A lone surrogate has no UTF-8 form; escaped, it survives the trip.
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

// A double as a JSON number in its shortest exact form, or null when not finite.
inline std::wstring JsonNumber(double number)
{
    if (!std::isfinite(number)) return L"null";
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), number);
    if (error != std::errc()) return L"null";
    return std::wstring(buffer, end);
}

// A double rounded to `digits` significant digits, as printf's %g writes it, or null when not finite.
inline std::wstring JsonNumber(double number, int digits)
{
    if (!std::isfinite(number)) return L"null";
    char buffer[40];
    const int length = std::snprintf(buffer, sizeof(buffer), "%.*g", digits, number);
    return std::wstring(buffer, buffer + length);
}

// The writer; Self is the class that derives from it to write values of its own kinds.
template <class Self>
class BasicJsonWriter {
public:
    Self& BeginObject() { return Open(L"{"); }
    Self& EndObject() { return Close(L'}'); }
    Self& BeginArray() { return Open(L"["); }
    Self& EndArray() { return Close(L']'); }
    Self& Key(std::wstring_view name)
    {
        BeforeValue();
        m_text += JsonString(name);
        m_text += L':';
        m_afterKey = true;
        return Me();
    }

    Self& String(std::wstring_view text) { return Raw(JsonString(text)); }
    // A string, or null when the text is empty (timestamps that were never set).
    Self& StringOrNull(std::wstring_view text) { return text.empty() ? Null() : String(text); }
    Self& Number(double number) { return Raw(JsonNumber(number)); }
    Self& Number(double number, int digits) { return Raw(JsonNumber(number, digits)); }
    Self& Integer(long long number) { return Raw(std::to_wstring(number)); }
    Self& Unsigned(unsigned long long number) { return Raw(std::to_wstring(number)); }
    Self& Bool(bool flag) { return Raw(flag ? L"true" : L"false"); }
    Self& Null() { return Raw(L"null"); }
    // A value that is already JSON text.
    Self& Raw(std::wstring_view json)
    {
        BeforeValue();
        m_text += json;
        return Me();
    }

    const std::wstring& Text() const { return m_text; }

private:
    Self& Me() { return static_cast<Self&>(*this); }
    Self& Open(const wchar_t* bracket)
    {
        Raw(bracket);
        m_empty.push_back(true);
        return Me();
    }
    Self& Close(wchar_t bracket)
    {
        m_empty.pop_back();
        m_text += bracket;
        return Me();
    }
    void BeforeValue()
    {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (m_empty.empty()) return;
        if (!m_empty.back()) m_text += L',';
        m_empty.back() = false;
    }

    std::wstring m_text;
    std::vector<bool> m_empty;  // one entry per open object or array: nothing in it yet
    bool m_afterKey = false;
};

class JsonWriter final : public BasicJsonWriter<JsonWriter> {};

// Wide to UTF-8 and back, for output and for tests.
inline std::string ToUtf8(std::wstring_view text)
{
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

inline std::wstring FromUtf8(std::string_view text)
{
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

}  // namespace orv::hmx
