#include "Report.h"

#include "Values.h"

namespace opcq {

std::wstring ValueDetails(const VARIANT& value, WORD quality, const FILETIME& timestamp)
{
    const std::wstring time = FormatUtcTimestamp(timestamp);
    return DisplayValue(value) + L" (" + VarTypeName(value.vt) + L", " + QualityText(quality) + L", " +
           (time.empty() ? L"no timestamp" : time) + L")";
}

std::wstring CodeWithText(HRESULT code, const std::wstring& text)
{
    return text.empty() ? HResultHex(code) : HResultHex(code) + L" " + text;
}

std::wstring ItemErrorLine(const std::wstring& item, HRESULT code, const std::wstring& text)
{
    return item + L": error " + CodeWithText(code, text);
}

void JsonValueMembers(JsonWriter& json, const VARIANT& value, WORD quality, const FILETIME& timestamp)
{
    json.Key(L"value").Variant(value);
    json.Key(L"type").String(VarTypeName(value.vt));
    json.Key(L"quality").String(QualityName(quality));
    json.Key(L"qualityCode").Integer(quality);
    json.Key(L"timestamp").StringOrNull(FormatUtcTimestamp(timestamp));
}

void JsonErrorMember(JsonWriter& json, std::optional<HRESULT> code, const std::wstring& text)
{
    json.Key(L"error").BeginObject();
    json.Key(L"hresult");
    if (code)
        json.String(HResultHex(*code));
    else
        json.Null();
    json.Key(L"text").String(text);
    json.EndObject();
}

}  // namespace opcq
