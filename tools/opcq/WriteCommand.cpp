// write: ITEM=VALUE assignments, each value parsed for its item's canonical type and
// written with IOPCSyncIO::Write; with --read-back, the written items are then read from
// the device through the same group.

#include "Commands.h"
#include "Json.h"
#include "Report.h"
#include "Writing.h"

#include <map>

namespace opcq {

int RunWrite(const OpcServer& server, const WriteArgs& args, const CommandOutput& output)
{
    OpcGroup group(server, L"opcq write", false, 1000);
    const std::vector<WriteOutcome> outcomes = WriteAssignments(server, group, args.assignments);

    // Read back: one device read of every item that was written, by outcome index.
    std::map<std::size_t, ItemValue> readBack;
    if (args.readBack) {
        std::vector<std::size_t> written;
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            if (!outcomes[i].Ok()) continue;
            written.push_back(i);
            handles.push_back(outcomes[i].serverHandle);
        }
        std::vector<ItemValue> values = group.Read(OPC_DS_DEVICE, handles);
        for (std::size_t k = 0; k < written.size(); ++k) readBack.emplace(written[k], std::move(values[k]));
    }

    bool anyFailed = false;
    JsonWriter json;
    json.BeginObject().Key(L"items").BeginArray();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const WriteOutcome& outcome = outcomes[i];
        anyFailed = anyFailed || !outcome.Ok();
        if (!output.json) {
            output.out.Line(WriteOutcomeLine(outcome));
            continue;
        }
        json.BeginObject();
        JsonWriteOutcomeMembers(json, outcome);
        if (auto found = readBack.find(i); found != readBack.end()) {
            const ItemValue& value = found->second;
            json.Key(L"readBack").BeginObject();
            if (FAILED(value.error))
                JsonErrorMember(json, value.error, server.ErrorText(value.error));
            else
                JsonValueMembers(json, value.value.Ref(), value.quality, value.timestamp);
            json.EndObject();
        }
        json.EndObject();
    }
    json.EndArray().EndObject();
    if (output.json) output.out.Line(json.Text());

    for (const auto& [index, value] : readBack) {
        anyFailed = anyFailed || FAILED(value.error);
        if (output.json) continue;
        const std::wstring& item = outcomes[index].item;
        output.out.Line(FAILED(value.error)
                            ? ItemErrorLine(item, value.error, server.ErrorText(value.error))
                            : item + L" = " + ValueDetails(value.value.Ref(), value.quality, value.timestamp));
    }
    return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace opcq
