// IOPCItemMgt through COM, against the simulated network.

#include "ComTest.h"

#include "sim/simctl.h"

#include <atomic>
#include <thread>

using namespace twopc::test;

namespace {

std::vector<OPCITEMATTRIBUTES> Fetch(IEnumOPCItemAttributes* items, ULONG celt, HRESULT* result)
{
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 0;
    *result = items->Next(celt, &records, &fetched);
    std::vector<OPCITEMATTRIBUTES> copy(records, records + fetched);
    CoTaskMemFree(records);
    return copy;
}

void Free(std::vector<OPCITEMATTRIBUTES>& records)
{
    for (auto& record : records) {
        CoTaskMemFree(record.szAccessPath);
        CoTaskMemFree(record.szItemID);
        CoTaskMemFree(record.pBlob);
        VariantClear(&record.vEUInfo);
    }
}

std::vector<OPCITEMATTRIBUTES> AllItems(IOPCItemMgt* items)
{
    Ref<IEnumOPCItemAttributes> all;
    REQUIRE(SUCCEEDED(items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(all.Put()))));
    HRESULT hr;
    return Fetch(all.Get(), 1000, &hr);
}

}  // namespace

TEST_CASE("AddItems refuses missing arguments and leaves the outputs null")
{
    ServerWithGroup s;
    OPCITEMDEF definition = ItemDef(L"\\\\.\\proc1\\Setpoint");
    OPCITEMRESULT* records = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    CHECK(s.items->AddItems(0, &definition, &records, &errors) == E_INVALIDARG);
    CHECK(records == nullptr);
    CHECK(errors == nullptr);
    CHECK(s.items->AddItems(1, nullptr, &records, &errors) == E_INVALIDARG);
    CHECK(s.items->AddItems(1, &definition, nullptr, &errors) == E_INVALIDARG);
    CHECK(s.items->AddItems(1, &definition, &records, nullptr) == E_INVALIDARG);
    CHECK(AllItems(s.items.Get()).empty());
}

TEST_CASE("AddItems: per-item results, the consumed handle of a failed item, unknown points")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"", 2), ItemDef(L"\\\\.\\proc1\\Constant", 3),
              ItemDef(nullptr, 4), ItemDef(L"\\\\.\\proc1\\NoSuchPoint", 5)},
             added);
    CHECK(added.result == S_FALSE);
    REQUIRE(added.errors != nullptr);
    CHECK(added.errors[0] == S_OK);
    CHECK(added.errors[1] == OPC_E_INVALIDITEMID);
    CHECK(added.errors[2] == S_OK);
    CHECK(added.errors[3] == OPC_E_INVALIDITEMID);
    CHECK(added.errors[4] == OPC_E_UNKNOWNITEMID);
    CHECK(added.records[2].hServer == added.records[0].hServer + 2);
    for (int failed : {1, 3, 4}) {
        CAPTURE(failed);
        CHECK(added.records[failed].hServer == 0);
        CHECK(added.records[failed].vtCanonicalDataType == VT_EMPTY);
        CHECK(added.records[failed].dwAccessRights == 0);
    }
    CHECK(added.records[0].dwBlobSize == 0);
    CHECK(added.records[0].pBlob == nullptr);
    CHECK(AllItems(s.items.Get()).size() == 2);
}

TEST_CASE("items outside the address space take their type from the request; unreachable types fail")
{
    ServerWithGroup s;
    // Memory points exist from their first subscription on, so each of these is new to the tree.
    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\mem\\asI4", 1, VT_I4), ItemDef(L"\\\\.\\mem\\asText", 2, VT_BSTR),
              ItemDef(L"\\\\.\\mem\\asArray", 3, VT_ARRAY | VT_R8), ItemDef(L"\\\\.\\mem\\asBool", 4, VT_BOOL)},
             added);
    CHECK(added.result == S_FALSE);
    CHECK(added.errors[0] == S_OK);
    CHECK(added.records[0].vtCanonicalDataType == VT_R8);
    CHECK(added.records[1].vtCanonicalDataType == VT_BSTR);
    CHECK(added.errors[2] == OPC_E_BADTYPE);
    CHECK(added.records[3].vtCanonicalDataType == VT_BOOL);
    CHECK(SimLiveSubscriptions(L"mem\\asArray") == 0);  // the refused item gave up its subscription
}

TEST_CASE("items of the address space take its type and rights")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Label", 1, VT_R8), ItemDef(L"\\\\.\\proc1\\Constant", 2),
              ItemDef(L"\\\\.\\proc1\\Label", 3), ItemDef(L"\\\\.\\proc1\\Waveform.toggle", 4, VT_BSTR)},
             added);
    CHECK(added.result == S_FALSE);
    CHECK(added.errors[0] == OPC_E_BADTYPE);  // an empty text is no number
    CHECK(added.errors[1] == S_OK);
    CHECK(added.records[1].vtCanonicalDataType == VT_R8);
    CHECK(added.records[1].dwAccessRights == OPC_READABLE);
    CHECK(added.records[2].vtCanonicalDataType == VT_BSTR);
    CHECK(added.records[2].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE));
    CHECK(added.errors[3] == S_OK);
    CHECK(added.records[3].vtCanonicalDataType == VT_BOOL);

    std::vector<OPCITEMDEF> known = {ItemDef(L"\\\\.\\proc1\\WriteOnly")};
    ItemResults checked;
    checked.result = s.items->ValidateItems(1, known.data(), FALSE, &checked.records, &checked.errors);
    CHECK(checked.result == S_OK);
    CHECK(checked.records[0].vtCanonicalDataType == VT_R8);
    CHECK(checked.records[0].dwAccessRights == OPC_WRITEABLE);
}

TEST_CASE("\\\\.\\ names the local computer, and every addition is a subscription of its own")
{
    ServerWithGroup s;
    LONG before = SimLiveSubscriptions(L"proc1\\Setpoint");
    std::wstring byName = L"\\\\" + ComputerName() + L"\\proc1\\Setpoint";
    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Setpoint", 2),
              ItemDef(byName.c_str(), 3)},
             added);
    REQUIRE(added.result == S_OK);
    CHECK(added.records[0].hServer != added.records[1].hServer);
    CHECK(SimLiveSubscriptions(L"proc1\\Setpoint") == before + 3);

    OPCHANDLE handles[] = {added.records[0].hServer, added.records[1].hServer, added.records[2].hServer};
    HRESULT* errors = nullptr;
    CHECK(s.items->RemoveItems(3, handles, &errors) == S_OK);
    CoTaskMemFree(errors);
    CHECK(SimLiveSubscriptions(L"proc1\\Setpoint") == before);
}

TEST_CASE("RemoveItems: a handle removed once is invalid the second time")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Constant"), ItemDef(L"\\\\.\\proc1\\Constant")}, added);
    REQUIRE(added.result == S_OK);
    OPCHANDLE first = added.records[0].hServer;
    HRESULT* errors = nullptr;
    REQUIRE(s.items->RemoveItems(1, &first, &errors) == S_OK);
    CHECK(errors[0] == S_OK);
    CoTaskMemFree(errors);

    OPCHANDLE both[] = {first, added.records[1].hServer};
    REQUIRE(s.items->RemoveItems(2, both, &errors) == S_FALSE);
    CHECK(errors[0] == OPC_E_INVALIDHANDLE);
    CHECK(errors[1] == S_OK);
    CoTaskMemFree(errors);
    CHECK(s.items->RemoveItems(0, both, &errors) == E_INVALIDARG);
    CHECK(s.items->RemoveItems(1, nullptr, &errors) == E_INVALIDARG);
    CHECK(s.items->RemoveItems(1, both, nullptr) == E_INVALIDARG);
    CHECK(AllItems(s.items.Get()).empty());
}

TEST_CASE("SetActiveState, SetClientHandles and SetDatatypes change the valid handles among invalid ones")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Setpoint", 10), ItemDef(L"\\\\.\\proc1\\Constant", 20)}, added);
    REQUIRE(added.result == S_OK);
    OPCHANDLE handles[] = {added.records[0].hServer, 0xFFFFFFF0, added.records[1].hServer};
    HRESULT* errors = nullptr;

    REQUIRE(s.items->SetActiveState(3, handles, FALSE, &errors) == S_FALSE);
    CHECK(errors[0] == S_OK);
    CHECK(errors[1] == OPC_E_INVALIDHANDLE);
    CHECK(errors[2] == S_OK);
    CoTaskMemFree(errors);

    OPCHANDLE clients[] = {11, 99, 21};
    REQUIRE(s.items->SetClientHandles(3, handles, clients, &errors) == S_FALSE);
    CHECK(errors[1] == OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);

    VARTYPE types[] = {VT_BSTR, VT_I2, VT_ARRAY | VT_R8};
    REQUIRE(s.items->SetDatatypes(3, handles, types, &errors) == S_FALSE);
    CHECK(errors[0] == S_OK);
    CHECK(errors[2] == S_OK);  // no conversion test here
    CoTaskMemFree(errors);

    auto all = AllItems(s.items.Get());
    REQUIRE(all.size() == 2);
    CHECK(all[0].bActive == FALSE);
    CHECK(all[0].hClient == 11);
    CHECK(all[0].vtRequestedDataType == VT_BSTR);
    CHECK(all[1].hClient == 21);
    CHECK(all[1].vtRequestedDataType == (VT_ARRAY | VT_R8));
    Free(all);

    CHECK(s.items->SetClientHandles(3, handles, nullptr, &errors) == E_INVALIDARG);
    CHECK(s.items->SetDatatypes(0, handles, types, &errors) == E_INVALIDARG);
    CHECK(s.items->SetActiveState(1, handles, TRUE, nullptr) == E_INVALIDARG);
}

TEST_CASE("ValidateItems checks without creating anything")
{
    ServerWithGroup s;
    LONG subscriptions = SimLiveSubscriptions(nullptr);
    std::vector<OPCITEMDEF> definitions = {ItemDef(L"\\\\.\\proc1\\Anything"), ItemDef(L"\\\\.\\proc1\\Anything", 1, VT_I4),
                                           ItemDef(L""), ItemDef(L"proc1\\Setpoint"),
                                           ItemDef(L"\\\\.\\proc1\\Anything", 1, VT_ARRAY | VT_R8)};
    ItemResults checked;
    checked.result = s.items->ValidateItems(static_cast<DWORD>(definitions.size()), definitions.data(), FALSE,
                                            &checked.records, &checked.errors);
    CHECK(checked.result == S_FALSE);
    CHECK(checked.errors[0] == E_FAIL);
    CHECK(checked.records[0].vtCanonicalDataType == VT_R8);
    CHECK(checked.records[0].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE));
    CHECK(checked.records[0].hServer == 0);
    CHECK(checked.errors[1] == S_OK);
    CHECK(checked.records[1].vtCanonicalDataType == VT_R8);
    CHECK(checked.errors[2] == OPC_E_INVALIDITEMID);
    CHECK(checked.errors[3] == OPC_E_UNKNOWNITEMID);
    CHECK(FAILED(checked.errors[4]));
    CHECK(checked.errors[4] != OPC_E_BADTYPE);
    CHECK(checked.records[4].vtCanonicalDataType == VT_EMPTY);
    CHECK(SimLiveSubscriptions(nullptr) == subscriptions);
    CHECK(AllItems(s.items.Get()).empty());

    OPCITEMRESULT* records;
    HRESULT* errors;
    CHECK(s.items->ValidateItems(0, definitions.data(), FALSE, &records, &errors) == E_INVALIDARG);
}

TEST_CASE("the item enumerator: a snapshot, the celt rules, Skip, Reset and Clone")
{
    ServerWithGroup s;
    Ref<IEnumOPCItemAttributes> empty;
    CHECK(s.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(empty.Put())) ==
          S_FALSE);
    HRESULT hr;
    CHECK(Fetch(empty.Get(), 1, &hr).empty());
    CHECK(hr == S_FALSE);
    Ref<IUnknown> wrong;
    CHECK(s.items->CreateEnumerator(IID_IEnumUnknown, wrong.Put()) == E_INVALIDARG);

    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Constant", 2, VT_I4, FALSE),
              ItemDef(L"\\\\.\\proc1\\Running", 3)},
             added);
    REQUIRE(added.result == S_OK);
    Ref<IEnumOPCItemAttributes> items;
    REQUIRE(s.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(items.Put())) ==
            S_OK);
    ItemResults later;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Label", 4)}, later);

    auto three = Fetch(items.Get(), 5, &hr);
    CHECK(hr == S_FALSE);
    REQUIRE(three.size() == 3);
    CHECK(Narrow(three[1].szItemID) == "\\\\.\\proc1\\Constant");
    CHECK(three[1].hClient == 2);
    CHECK(three[1].hServer == added.records[1].hServer);
    CHECK(three[1].bActive == FALSE);
    CHECK(three[1].vtRequestedDataType == VT_I4);
    CHECK(three[1].vtCanonicalDataType == VT_R8);
    CHECK(three[1].dwEUType == OPC_NOENUM);
    CHECK(three[1].vEUInfo.vt == VT_EMPTY);
    CHECK(three[1].pBlob == nullptr);
    Free(three);
    CHECK(Fetch(items.Get(), 5, &hr).empty());
    CHECK(hr == S_FALSE);

    CHECK(items->Reset() == S_OK);
    OPCITEMATTRIBUTES* one = nullptr;
    CHECK(items->Next(1, &one, nullptr) == S_OK);
    CHECK(one[0].hClient == 1);
    std::vector<OPCITEMATTRIBUTES> first(one, one + 1);
    CoTaskMemFree(one);
    Free(first);
    CHECK(items->Next(2, &one, nullptr) == E_POINTER);
    CHECK(items->Next(1, nullptr, nullptr) == E_POINTER);

    Ref<IEnumOPCItemAttributes> clone;
    REQUIRE(items->Clone(clone.Put()) == S_OK);
    auto fromClone = Fetch(clone.Get(), 1, &hr);
    REQUIRE(fromClone.size() == 1);
    CHECK(fromClone[0].hClient == 2);
    Free(fromClone);
    auto fromOriginal = Fetch(items.Get(), 1, &hr);
    REQUIRE(fromOriginal.size() == 1);
    CHECK(fromOriginal[0].hClient == 2);  // the two advance independently
    Free(fromOriginal);

    CHECK(items->Skip(5) == S_FALSE);
    CHECK(Fetch(items.Get(), 1, &hr).empty());
    items.Reset();
    auto rest = Fetch(clone.Get(), 3, &hr);  // the clone outlives the enumerator it came from
    CHECK(rest.size() == 1);
    Free(rest);
}

TEST_CASE("CloneGroup copies the items with new handles, and S_FALSE when one cannot be added again")
{
    ServerWithGroup s(TRUE);
    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Constant", 2, VT_I4, FALSE),
              ItemDef(L"\\\\.\\mem\\clone", 3, VT_BSTR)},
             added);
    REQUIRE(added.result == S_OK);

    Ref<IOPCItemMgt> cloneItems;
    REQUIRE(s.group->CloneGroup(L"Clone", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(cloneItems.Put())) == S_OK);
    auto copies = AllItems(cloneItems.Get());
    REQUIRE(copies.size() == 3);
    for (int i = 0; i < 3; ++i) {
        CAPTURE(i);
        CHECK(copies[i].hClient == static_cast<OPCHANDLE>(i + 1));
        CHECK(copies[i].hServer != added.records[i].hServer);
    }
    CHECK(Narrow(copies[2].szItemID) == "\\\\.\\mem\\clone");
    CHECK(copies[2].vtRequestedDataType == VT_BSTR);
    CHECK(copies[1].bActive == FALSE);
    Free(copies);

    VARTYPE unreachable = VT_ARRAY | VT_R8;
    HRESULT* errors = nullptr;
    REQUIRE(s.items->SetDatatypes(1, &added.records[0].hServer, &unreachable, &errors) == S_OK);
    CoTaskMemFree(errors);
    Ref<IOPCItemMgt> partial;
    CHECK(s.group->CloneGroup(L"Partial", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(partial.Put())) == S_FALSE);
    REQUIRE(partial);
    CHECK(AllItems(partial.Get()).size() == 2);
}

TEST_CASE("removing a group with force ends the subscriptions of its items at once")
{
    ServerWithGroup s(TRUE);
    LONG before = SimLiveSubscriptions(nullptr);
    ItemResults added;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Waveform.sine"), ItemDef(L"\\\\.\\proc1\\Setpoint")}, added);
    REQUIRE(added.result == S_OK);
    CHECK(SimLiveSubscriptions(nullptr) == before + 2);
    CHECK(s.server->RemoveGroup(s.groupHandle, TRUE) == S_OK);
    CHECK(SimLiveSubscriptions(nullptr) == before);
    OPCHANDLE handle = added.records[0].hServer;
    HRESULT* errors = nullptr;
    CHECK(s.items->RemoveItems(1, &handle, &errors) == E_FAIL);
    CHECK(errors == nullptr);
}

TEST_CASE("items come and go while the network delivers at full speed, and nothing is left behind")
{
    {
        ServerWithGroup s(TRUE, 10);
        std::atomic<bool> stop{false};
        // The clock is driven as fast as it goes: every step is a change of every waveform.
        SimPauseClock();
        std::thread clock([&] {
            while (!stop) SimStepClock(5);
        });
        std::vector<std::thread> clients;
        for (int t = 0; t < 3; ++t) {
            clients.emplace_back([&s, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                for (int round = 0; round < 40; ++round) {
                    ItemResults added;
                    AddItems(s.items.Get(),
                             {ItemDef(L"\\\\.\\proc1\\Waveform.sine", t), ItemDef(L"\\\\.\\proc1\\Waveform.ramp", t),
                              ItemDef(L"\\\\.\\proc1\\Waveform.toggle", t), ItemDef(L"\\\\.\\proc1\\Label", t)},
                             added);
                    if (FAILED(added.result)) continue;
                    std::vector<OPCHANDLE> handles;
                    for (int i = 0; i < 4; ++i)
                        if (SUCCEEDED(added.errors[i])) handles.push_back(added.records[i].hServer);
                    if (round % 3 == 2) continue;  // some stay for the group's removal
                    HRESULT* errors = nullptr;
                    s.items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
                    CoTaskMemFree(errors);
                }
                CoUninitialize();
            });
        }
        for (auto& client : clients) client.join();
        CHECK(SimLiveSubscriptions(nullptr) > 0);
        CHECK(s.server->RemoveGroup(s.groupHandle, TRUE) == S_OK);
        stop = true;
        clock.join();
        CHECK(SimWaitForDeliveries(10000));
        CHECK(SimLiveSubscriptions(nullptr) == 0);
        SimResumeClock();
    }
    CHECK(ModuleCanUnloadNow() == S_OK);
}
