// read: items added to a group of our own and read with IOPCSyncIO::Read, from the
// cache (the group is active) or from the device (it need not be).

#include "Commands.h"
#include "Json.h"
#include "Report.h"
#include "Values.h"

namespace opcq {

int RunRead(const OpcServer& server, const ReadArgs& args, const CommandOutput& output)
{
    OpcGroup group(server, L"opcq read", !args.fromDevice, 1000);
    const std::vector<AddedItem> added = group.AddItems(args.items, true);

    std::vector<OPCHANDLE> handles;
    for (const AddedItem& item : added)
        if (SUCCEEDED(item.error)) handles.push_back(item.serverHandle);
    std::vector<ItemValue> values = group.Read(args.fromDevice ? OPC_DS_DEVICE : OPC_DS_CACHE, handles);

    // One entry per item asked for, in order: its AddItems error or its read result.
    bool anyFailed = false;
    JsonWriter json;
    json.BeginObject().Key(L"source").String(args.fromDevice ? L"device" : L"cache").Key(L"items").BeginArray();
    std::size_t nextValue = 0;
    for (const AddedItem& item : added) {
        HRESULT error = item.error;
        ItemValue* value = nullptr;
        if (SUCCEEDED(error)) {
            value = &values[nextValue++];
            error = value->error;
        }
        if (output.json) {
            json.BeginObject().Key(L"item").String(item.itemId);
            if (FAILED(error))
                JsonErrorMember(json, error, server.ErrorText(error));
            else
                JsonValueMembers(json, value->value.Ref(), value->quality, value->timestamp);
            json.EndObject();
        } else if (FAILED(error)) {
            output.out.Line(ItemErrorLine(item.itemId, error, server.ErrorText(error)));
        } else {
            output.out.Line(item.itemId + L" = " + ValueDetails(value->value.Ref(), value->quality, value->timestamp));
        }
        anyFailed = anyFailed || FAILED(error);
    }
    json.EndArray().EndObject();
    if (output.json) output.out.Line(json.Text());
    return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace opcq
