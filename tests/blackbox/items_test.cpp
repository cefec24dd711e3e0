// IOPCItemMgt through COM, against the simulated network.

#include "ComTest.h"

#include "sim/simctl.h"

#include <atomic>
#include <thread>

using namespace twopc::test;

namespace {

// The records of one IEnumOPCItemAttributes::Next, freed with the object.
struct Fetched {
    HRESULT result = E_UNEXPECTED;
    std::vector<OPCITEMATTRIBUTES> records;
    // Without `withCount` Next gets no count pointer, which it allows for one record.
    Fetched(IEnumOPCItemAttributes* items, ULONG celt, bool withCount = true)
    {
        TaskArray<OPCITEMATTRIBUTES> block;
        ULONG fetched = 0;
        result = items->Next(celt, block.Put(), withCount ? &fetched : nullptr);
        if (!withCount && result == S_OK) fetched = celt;
        records.assign(block.Get(), block.Get() + fetched);
    }
    Fetched(const Fetched&) = delete;
    Fetched& operator=(const Fetched&) = delete;
    ~Fetched()
    {
        for (auto& record : records) {
            CoTaskMemFree(record.szAccessPath);
            CoTaskMemFree(record.szItemID);
            CoTaskMemFree(record.pBlob);
            VariantClear(&record.vEUInfo);
        }
    }
    std::size_t size() const { return records.size(); }
    const OPCITEMATTRIBUTES& operator[](std::size_t i) const { return records.at(i); }
};

Fetched AllItems(IOPCItemMgt* items)
{
    Ref<IEnumOPCItemAttributes> all;
    REQUIRE(SUCCEEDED(items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(all.Put()))));
    return Fetched(all.Get(), 1000);
}

}  // namespace

TEST_CASE("AddItems: argument checks, per-item results, the consumed handle of a failed item, unknown points")
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
    CHECK(AllItems(s.items.Get()).size() == 0);

    ItemResults added;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"", 2), ItemDef(L"\\\\.\\proc1\\Constant", 3),
              ItemDef(nullptr, 4), ItemDef(L"\\\\.\\proc1\\NoSuchPoint", 5)},
             added);
    CHECK(added.result == S_FALSE);
    REQUIRE(added.errors != nullptr);
    const HRESULT expected[] = {S_OK, OPC_E_INVALIDITEMID, S_OK, OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID};
    for (int i = 0; i < 5; ++i) {
        CAPTURE(i);
        CHECK(added.errors[i] == expected[i]);
        if (FAILED(expected[i])) {
            CHECK(added.records[i].hServer == 0);
            CHECK(added.records[i].vtCanonicalDataType == VT_EMPTY);
            CHECK(added.records[i].dwAccessRights == 0);
        }
    }
    CHECK(added.records[2].hServer == added.records[0].hServer + 2);
    CHECK(added.records[0].dwBlobSize == 0);
    CHECK(added.records[0].pBlob == nullptr);
    CHECK(AllItems(s.items.Get()).size() == 2);
}

TEST_CASE("the canonical type: the request's outside the address space, the tree's inside it")
{
    ServerWithGroup s;
    // Memory points exist from their first subscription on, so each of these is new to the tree.
    ItemResults outside;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\mem\\asI4", 1, VT_I4), ItemDef(L"\\\\.\\mem\\asText", 2, VT_BSTR),
              ItemDef(L"\\\\.\\mem\\asArray", 3, VT_ARRAY | VT_R8), ItemDef(L"\\\\.\\mem\\asBool", 4, VT_BOOL)},
             outside);
    CHECK(outside.result == S_FALSE);
    CHECK(outside.errors[0] == S_OK);
    CHECK(outside.records[0].vtCanonicalDataType == VT_R8);
    CHECK(outside.records[1].vtCanonicalDataType == VT_BSTR);
    CHECK(outside.errors[2] == OPC_E_BADTYPE);
    CHECK(outside.records[3].vtCanonicalDataType == VT_BOOL);
    CHECK(SimLiveSubscriptions(L"mem\\asArray") == 0);  // the refused item gave up its subscription

    ItemResults inside;
    AddItems(s.items.Get(),
             {ItemDef(L"\\\\.\\proc1\\Label", 1, VT_R8), ItemDef(L"\\\\.\\proc1\\Constant", 2),
              ItemDef(L"\\\\.\\proc1\\Label", 3), ItemDef(L"\\\\.\\proc1\\Waveform.toggle", 4, VT_BSTR)},
             inside);
    CHECK(inside.result == S_FALSE);
    CHECK(inside.errors[0] == OPC_E_BADTYPE);  // an empty text is no number
    CHECK(inside.records[1].vtCanonicalDataType == VT_R8);
    CHECK(inside.records[1].dwAccessRights == OPC_READABLE);
    CHECK(inside.records[2].vtCanonicalDataType == VT_BSTR);
    CHECK(inside.records[2].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE));
    CHECK(inside.errors[3] == S_OK);
    CHECK(inside.records[3].vtCanonicalDataType == VT_BOOL);

    ItemResults checked;
    ValidateItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\WriteOnly")}, checked);
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
             {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Setpoint", 2), ItemDef(byName.c_str(), 3)},
             added);
    REQUIRE(added.result == S_OK);
    CHECK(added.records[0].hServer != added.records[1].hServer);
    CHECK(SimLiveSubscriptions(L"proc1\\Setpoint") == before + 3);

    OPCHANDLE handles[] = {added.records[0].hServer, added.records[1].hServer, added.records[2].hServer};
    Errors errors;
    CHECK(s.items->RemoveItems(3, handles, errors.Put()) == S_OK);
    CHECK(SimLiveSubscriptions(L"proc1\\Setpoint") == before);
}

TEST_CASE("RemoveItems: a handle removed once is invalid the second time")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Constant"), ItemDef(L"\\\\.\\proc1\\Constant")}, added);
    REQUIRE(added.result == S_OK);
    OPCHANDLE both[] = {added.records[0].hServer, added.records[1].hServer};
    Errors errors;
    REQUIRE(s.items->RemoveItems(1, both, errors.Put()) == S_OK);
    CHECK(errors[0] == S_OK);
    REQUIRE(s.items->RemoveItems(2, both, errors.Put()) == S_FALSE);
    CHECK(errors[0] == OPC_E_INVALIDHANDLE);
    CHECK(errors[1] == S_OK);
    CHECK(s.items->RemoveItems(0, both, errors.Put()) == E_INVALIDARG);
    CHECK(s.items->RemoveItems(1, nullptr, errors.Put()) == E_INVALIDARG);
    CHECK(s.items->RemoveItems(1, both, nullptr) == E_INVALIDARG);
    CHECK(AllItems(s.items.Get()).size() == 0);
}

TEST_CASE("SetActiveState, SetClientHandles and SetDatatypes change the valid handles among invalid ones")
{
    ServerWithGroup s;
    ItemResults added;
    AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Setpoint", 10), ItemDef(L"\\\\.\\proc1\\Constant", 20)}, added);
    REQUIRE(added.result == S_OK);
    OPCHANDLE handles[] = {added.records[0].hServer, 0xFFFFFFF0, added.records[1].hServer};
    OPCHANDLE clients[] = {11, 99, 21};
    VARTYPE types[] = {VT_BSTR, VT_I2, VT_ARRAY | VT_R8};
    Errors active, client, type;
    REQUIRE(s.items->SetActiveState(3, handles, FALSE, active.Put()) == S_FALSE);
    REQUIRE(s.items->SetClientHandles(3, handles, clients, client.Put()) == S_FALSE);
    REQUIRE(s.items->SetDatatypes(3, handles, types, type.Put()) == S_FALSE);
    for (const Errors* errors : {&active, &client, &type}) {
        CHECK((*errors)[0] == S_OK);
        CHECK((*errors)[1] == OPC_E_INVALIDHANDLE);
        CHECK((*errors)[2] == S_OK);  // SetDatatypes makes no conversion test
    }

    auto all = AllItems(s.items.Get());
    REQUIRE(all.size() == 2);
    CHECK(all[0].bActive == FALSE);
    CHECK(all[0].hClient == 11);
    CHECK(all[0].vtRequestedDataType == VT_BSTR);
    CHECK(all[1].hClient == 21);
    CHECK(all[1].vtRequestedDataType == (VT_ARRAY | VT_R8));

    Errors errors;
    CHECK(s.items->SetClientHandles(3, handles, nullptr, errors.Put()) == E_INVALIDARG);
    CHECK(s.items->SetDatatypes(0, handles, types, errors.Put()) == E_INVALIDARG);
    CHECK(s.items->SetActiveState(1, handles, TRUE, nullptr) == E_INVALIDARG);
}

TEST_CASE("ValidateItems checks without creating anything")
{
    ServerWithGroup s;
    LONG subscriptions = SimLiveSubscriptions(nullptr);
    ItemResults checked;
    ValidateItems(s.items.Get(),
                  {ItemDef(L"\\\\.\\proc1\\Anything"), ItemDef(L"\\\\.\\proc1\\Anything", 1, VT_I4), ItemDef(L""),
                   ItemDef(L"proc1\\Setpoint"), ItemDef(L"\\\\.\\proc1\\Anything", 1, VT_ARRAY | VT_R8)},
                  checked);
    CHECK(checked.result == S_FALSE);
    // A well-formed ID outside the address space: its record, but E_FAIL.
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
    CHECK(AllItems(s.items.Get()).size() == 0);

    OPCITEMDEF definition = ItemDef(L"\\\\.\\proc1\\Setpoint");
    ItemResults none;
    CHECK(s.items->ValidateItems(0, &definition, FALSE, &none.records, &none.errors) == E_INVALIDARG);
}

TEST_CASE("the item enumerator: a snapshot, the celt rules, Skip, Reset and Clone")
{
    ServerWithGroup s;
    Ref<IEnumOPCItemAttributes> empty;
    CHECK(s.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(empty.Put())) ==
          S_FALSE);
    Fetched none(empty.Get(), 1);
    CHECK(none.size() == 0);
    CHECK(none.result == S_FALSE);
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

    {
        Fetched three(items.Get(), 5);
        CHECK(three.result == S_FALSE);
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
    }
    Fetched drained(items.Get(), 5);
    CHECK(drained.size() == 0);
    CHECK(drained.result == S_FALSE);

    CHECK(items->Reset() == S_OK);
    Fetched first(items.Get(), 1, false);
    CHECK(first.result == S_OK);
    CHECK(first[0].hClient == 1);
    OPCITEMATTRIBUTES* two = nullptr;
    CHECK(items->Next(2, &two, nullptr) == E_POINTER);
    CHECK(items->Next(1, nullptr, nullptr) == E_POINTER);

    Ref<IEnumOPCItemAttributes> clone;
    REQUIRE(items->Clone(clone.Put()) == S_OK);
    CHECK(Fetched(clone.Get(), 1)[0].hClient == 2);
    CHECK(Fetched(items.Get(), 1)[0].hClient == 2);  // the two advance independently

    CHECK(items->Skip(5) == S_FALSE);
    CHECK(Fetched(items.Get(), 1).size() == 0);
    items.Reset();
    CHECK(Fetched(clone.Get(), 3).size() == 1);  // the clone outlives the enumerator it came from
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

    VARTYPE unreachable = VT_ARRAY | VT_R8;
    Errors errors;
    REQUIRE(s.items->SetDatatypes(1, &added.records[0].hServer, &unreachable, errors.Put()) == S_OK);
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
    Errors errors;
    CHECK(s.items->RemoveItems(1, &added.records[0].hServer, errors.Put()) == E_FAIL);
    CHECK(errors.Get() == nullptr);
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
                    Errors errors;
                    s.items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), errors.Put());
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
