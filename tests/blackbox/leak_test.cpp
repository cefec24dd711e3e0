// Leak accounting for whole client flows: every task-allocator block the server hands out
// is freed by the client, nothing else stays behind, and the module can unload.

#include "FakeDataCallback.h"
#include "MallocSpy.h"

using namespace twopc::test;

namespace {

// A client flow that touches every interface a client would, and frees what it gets.
void RunClientFlow()
{
    Ref<IOPCServer> server;
    CreateServerAs(server);
    OPCSERVERSTATUS* status = nullptr;
    REQUIRE(server->GetStatus(&status) == S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    LPWSTR text = nullptr;
    REQUIRE(server->GetErrorString(OPC_E_INVALIDHANDLE, 1033, &text) == S_OK);
    CoTaskMemFree(text);

    FakeDataCallback sink;
    Ref<IOPCGroupStateMgt> group;
    AddedGroup added = AddGroup(server.Get(), nullptr, group, 20, FALSE);
    REQUIRE(added.result == S_OK);
    AdviseDataCallback(group.Get(), &sink);
    Ref<IOPCItemMgt> items;
    REQUIRE(group->QueryInterface(IID_IOPCItemMgt, items.PutVoid()) == S_OK);
    {
        ItemResults result;
        AddItems(items.Get(),
                 {ItemDef(L"\\\\.\\proc1\\Label", 1), ItemDef(L"\\\\.\\proc1\\Setpoint", 2),
                  ItemDef(L"\\\\.\\proc1\\NoSuchPoint", 3), ItemDef(L"\\\\.\\proc1\\Constant", 4, VT_BSTR)},
                 result);
        REQUIRE(result.result == S_FALSE);
        std::vector<OPCHANDLE> handles = {result.records[0].hServer, result.records[1].hServer,
                                          result.records[3].hServer};

        Ref<IOPCSyncIO> io;
        REQUIRE(group->QueryInterface(IID_IOPCSyncIO, io.PutVoid()) == S_OK);
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        REQUIRE(io->Read(OPC_DS_DEVICE, 3, handles.data(), &states, &errors) == S_OK);
        for (int i = 0; i < 3; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);

        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocString(L"leak check");
        REQUIRE(io->Write(1, handles.data(), &value, &errors) == S_OK);
        CoTaskMemFree(errors);
        VariantClear(&value);

        Ref<IEnumOPCItemAttributes> attributes;
        REQUIRE(items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(attributes.Put())) ==
                S_OK);
        OPCITEMATTRIBUTES* records = nullptr;
        ULONG fetched = 0;
        attributes->Next(10, &records, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            CoTaskMemFree(records[i].szAccessPath);
            CoTaskMemFree(records[i].szItemID);
            VariantClear(&records[i].vEUInfo);
        }
        CoTaskMemFree(records);

        Ref<IOPCAsyncIO2> async;
        REQUIRE(group->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid()) == S_OK);
        DWORD cancelId = 0;
        REQUIRE(async->Read(3, handles.data(), 5, &cancelId, &errors) == S_OK);
        CoTaskMemFree(errors);
        REQUIRE(sink.WaitForCalls(1));

        REQUIRE(items->RemoveItems(1, handles.data(), &errors) == S_OK);
        CoTaskMemFree(errors);
    }
    Ref<IEnumString> names;
    REQUIRE(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.Put())) ==
            S_OK);
    LPOLESTR name = nullptr;
    REQUIRE(names->Next(1, &name, nullptr) == S_OK);
    CoTaskMemFree(name);
    REQUIRE(server->RemoveGroup(added.handle, FALSE) == OPC_S_INUSE);
}

}  // namespace

TEST_CASE("a full client flow leaves no task-allocator block and no object behind")
{
    // The first run warms up what COM and the link keep for the life of the process.
    RunClientFlow();
    REQUIRE(ModuleCanUnloadNow() == S_OK);

    MallocSpy spy;
    REQUIRE(spy.Registered());
    RunClientFlow();
    CHECK(spy.Allocations() > 0);
    CHECK(spy.LiveBlocks() == 0);
    CHECK(spy.LiveBytes() == 0);
    CHECK(ModuleCanUnloadNow() == S_OK);
}
