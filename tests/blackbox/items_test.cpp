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

TEST_CASE("a call lists each branch on its items' paths once, and the next call lists it again")
{
    ServerWithGroup s;
    auto listingsFor = [&](std::initializer_list<OPCITEMDEF> definitions) {
        SimCounters before{};
        SimGetCounters(&before);
        ItemResults validated;
        ValidateItems(s.items.Get(), definitions, validated);
        REQUIRE(validated.result == S_OK);
        SimCounters after{};
        SimGetCounters(&after);
        return after.browseOpens - before.browseOpens;
    };
    const LONG one = listingsFor({ItemDef(L"\\\\.\\proc1\\Constant")});
    CHECK(one > 0);
    CHECK(listingsFor({ItemDef(L"\\\\.\\proc1\\Constant"), ItemDef(L"\\\\.\\proc1\\Running", 2),
                       ItemDef(L"\\\\.\\proc1\\Setpoint", 3), ItemDef(L"\\\\.\\proc1\\Label", 4)}) == one);
    CHECK(listingsFor({ItemDef(L"\\\\.\\proc1\\Constant")}) == one);
}

TEST_CASE("an ID in a listed branch of many points is found as the branch lists it, a near miss is not")
{
    ServerWithGroup s;
    REQUIRE(SimStartBench(1000, SIM_BENCH_LISTED) == S_OK);
    SimStopBench();
    // p5 and p57 both begin "p57": the search tries them in the branch's order.
    ItemResults validated;
    ValidateItems(s.items.Get(),
                  {ItemDef(L"\\\\.\\bench\\p0"), ItemDef(L"\\\\.\\bench\\p999", 2), ItemDef(L"\\\\.\\bench\\p57", 3),
                   ItemDef(L"\\\\.\\bench\\p1000", 4)},
                  validated);
    CHECK(validated.result == S_FALSE);
    for (int i = 0; i < 3; ++i) {
        CAPTURE(i);
        CHECK(validated.errors[i] == S_OK);
        // Only the listing knows the points are read-only.
        CHECK(validated.records[i].dwAccessRights == OPC_READABLE);
        CHECK(validated.records[i].vtCanonicalDataType == VT_R8);
    }
    // Not in the address space, and no requested type to decide by.
    CHECK(validated.errors[3] == E_FAIL);
    SimReset();
}
