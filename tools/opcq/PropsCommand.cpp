// props: the properties an item offers (QueryAvailableProperties) with their current
// values (GetItemProperties).

#include "Commands.h"
#include "Json.h"
#include "Report.h"
#include "Values.h"

#include <algorithm>
#include <optional>

namespace opcq {
namespace {

constexpr DWORD kPropertyCanonicalType = 1;
constexpr DWORD kPropertyQuality = 3;
constexpr DWORD kPropertyTimestamp = 4;
constexpr DWORD kPropertyAccessRights = 5;

struct PropertyRow {
    DWORD id;
    std::wstring description;
    VARTYPE type;
    HRESULT error;
    std::wstring errorText;
    const VARIANT* value;
};

// The timestamp property is a DATE in UTC: written as every other time in opcq's output.
std::optional<std::wstring> TimestampText(DWORD id, const VARIANT& value)
{
    if (id != kPropertyTimestamp || value.vt != VT_DATE) return std::nullopt;
    return FormatUtcDate(value.date);
}

// The value, with a reading of the three properties that are codes.
std::wstring PropertyValueText(DWORD id, const VARIANT& value)
{
    if (std::optional<std::wstring> time = TimestampText(id, value)) return *time;
    std::wstring text = DisplayValue(value);
    UniqueVariant number;
    if (FAILED(VariantChangeType(number.Get(), const_cast<VARIANT*>(&value), 0, VT_I4))) return text;
    const LONG code = number->lVal;
    if (id == kPropertyCanonicalType) return text + L" (" + VarTypeName(static_cast<VARTYPE>(code)) + L")";
    if (id == kPropertyQuality) return text + L" (" + QualityText(static_cast<WORD>(code)) + L")";
    if (id == kPropertyAccessRights) return text + L" (" + AccessRightsName(static_cast<DWORD>(code)) + L")";
    return text;
}

std::wstring PadRight(std::wstring text, std::size_t width)
{
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

std::wstring PadLeft(std::wstring text, std::size_t width)
{
    if (text.size() < width) text.insert(0, width - text.size(), L' ');
    return text;
}

}  // namespace

int RunProps(const OpcServer& server, const PropsArgs& args, const CommandOutput& output)
{
    ComPtr<IOPCItemProperties> properties = server.Interface<IOPCItemProperties>(L"IOPCItemProperties");
    const LPWSTR item = const_cast<LPWSTR>(args.item.c_str());

    DWORD count = 0;
    CoTaskArray<DWORD> ids;
    TaskStringArray descriptions;
    CoTaskArray<VARTYPE> types;
    HRESULT hr = properties->QueryAvailableProperties(item, &count, ids.Put(), descriptions.Put(), types.Put());
    descriptions.SetCount(count);
    server.Check(hr, L"cannot list the properties of \"" + args.item + L"\"");

    TaskVariantArray values;
    CoTaskArray<HRESULT> errors;
    if (count > 0) {
        hr = properties->GetItemProperties(item, count, ids.Get(), values.Put(count), errors.Put());
        server.Check(hr, L"cannot read the properties of \"" + args.item + L"\"");
    }

    std::vector<PropertyRow> rows;
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        const HRESULT error = errors ? errors[i] : hr;
        anyFailed = anyFailed || FAILED(error);
        rows.push_back({ids[i], descriptions[i], types[i], error, FAILED(error) ? server.ErrorText(error) : L"",
                        values ? &values[i] : nullptr});
    }

    if (output.json) {
        JsonWriter json;
        json.BeginObject().Key(L"item").String(args.item).Key(L"properties").BeginArray();
        for (const PropertyRow& row : rows) {
            json.BeginObject();
            json.Key(L"id").Unsigned(row.id);
            json.Key(L"description").String(row.description);
            json.Key(L"type").String(VarTypeName(row.type));
            if (FAILED(row.error))
                JsonErrorMember(json, row.error, row.errorText);
            else if (row.value) {
                json.Key(L"value");
                if (std::optional<std::wstring> time = TimestampText(row.id, *row.value))
                    json.String(*time);
                else
                    json.Variant(*row.value);
            }
            json.EndObject();
        }
        json.EndArray().EndObject();
        output.out.Line(json.Text());
        return anyFailed ? kExitFailed : kExitOk;
    }

    std::size_t descriptionWidth = 11;
    std::size_t typeWidth = 4;
    for (const PropertyRow& row : rows) {
        descriptionWidth = std::max(descriptionWidth, row.description.size());
        typeWidth = std::max(typeWidth, VarTypeName(row.type).size());
    }
    output.out.Line(args.item);
    output.out.Line(PadLeft(L"ID", 5) + L"  " + PadRight(L"DESCRIPTION", descriptionWidth) + L"  " +
                    PadRight(L"TYPE", typeWidth) + L"  VALUE");
    for (const PropertyRow& row : rows) {
        std::wstring value = FAILED(row.error)  ? L"error " + CodeWithText(row.error, row.errorText)
                             : row.value        ? PropertyValueText(row.id, *row.value)
                                                : L"";
        output.out.Line(PadLeft(std::to_wstring(row.id), 5) + L"  " + PadRight(row.description, descriptionWidth) +
                        L"  " + PadRight(VarTypeName(row.type), typeWidth) + L"  " + value);
    }
    return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace opcq
