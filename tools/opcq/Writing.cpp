#include "Writing.h"

#include "Report.h"
#include "Values.h"

namespace opcq {

std::vector<WriteOutcome> WriteAssignments(const OpcServer& server, OpcGroup& group,
                                           const std::vector<Assignment>& assignments)
{
    std::vector<std::wstring> itemIds;
    for (const Assignment& assignment : assignments) itemIds.push_back(assignment.item);
    const std::vector<AddedItem> added = group.AddItems(itemIds, false);

    std::vector<WriteOutcome> outcomes(assignments.size());
    std::vector<std::size_t> toWrite;
    std::vector<OPCHANDLE> handles;
    std::vector<UniqueVariant> values;
    for (std::size_t i = 0; i < assignments.size(); ++i) {
        WriteOutcome& outcome = outcomes[i];
        outcome.item = assignments[i].item;
        if (FAILED(added[i].error)) {
            outcome.code = added[i].error;
            outcome.text = server.ErrorText(added[i].error);
            continue;
        }
        outcome.serverHandle = added[i].serverHandle;
        ParsedValue parsed = ParseValueForType(assignments[i].value, added[i].canonicalType);
        if (!parsed.Ok()) {
            outcome.text = parsed.error;
            continue;
        }
        outcome.value = UniqueVariant::CopyOf(parsed.value.Ref());
        toWrite.push_back(i);
        handles.push_back(added[i].serverHandle);
        values.push_back(std::move(parsed.value));
    }

    const std::vector<HRESULT> results = group.Write(handles, values);
    for (std::size_t k = 0; k < toWrite.size(); ++k) {
        WriteOutcome& outcome = outcomes[toWrite[k]];
        outcome.code = results[k];
        if (results[k] != S_OK) outcome.text = server.ErrorText(results[k]);
    }
    return outcomes;
}

std::wstring WriteOutcomeLine(const WriteOutcome& outcome)
{
    if (!outcome.code) return outcome.item + L": " + outcome.text;
    if (FAILED(*outcome.code)) return ItemErrorLine(outcome.item, *outcome.code, outcome.text);
    std::wstring line = outcome.item + L" = " + DisplayValue(outcome.value.Ref()) + L": written";
    if (*outcome.code != S_OK) line += L" (" + CodeWithText(*outcome.code, outcome.text) + L")";
    return line;
}

void JsonWriteOutcomeMembers(JsonWriter& json, const WriteOutcome& outcome)
{
    json.Key(L"item").String(outcome.item);
    if (outcome.value->vt != VT_EMPTY) json.Key(L"value").Variant(outcome.value.Ref());
    json.Key(L"ok").Bool(outcome.Ok());
    if (!outcome.Ok()) JsonErrorMember(json, outcome.code, outcome.text);
}

}  // namespace opcq
