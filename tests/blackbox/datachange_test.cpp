// Data change: the group scan and OnDataChange, through COM, against the simulated network.

#include "FakeDataCallback.h"

#include <cmath>
#include <limits>
#include <thread>

using namespace twopc::test;

namespace {

struct Subscription : ServerWithGroup {
    FakeDataCallback sink;

    Subscription(std::initializer_list<OPCITEMDEF> items, DWORD rate = 20) : ServerWithGroup(items, FALSE, rate)
    {
        REQUIRE(SimWaitForDeliveries(5000));
        AdviseDataCallback(group.Get(), &sink);
    }
    ~Subscription() { server.Reset(); }  // removes the group, which lets go of the sink
    void SetActive(BOOL active) { twopc::test::SetActive(group.Get(), active); }
    // The first item's value and quality, read from the cache.
    std::pair<double, WORD> CacheRead()
    {
        ReadResults read(As<IOPCSyncIO>(group.Get()).Get(), OPC_DS_CACHE, {Handle(0)});
        REQUIRE(read.result == S_OK);
        return {read.states[0].vDataValue.dblVal, read.states[0].wQuality};
    }
};

}  // namespace

TEST_CASE("the first scan reports every item; unchanged items are not reported again")
{
    Subscription sub({ItemDef(L"\\\\.\\proc1\\Constant", 1), ItemDef(L"\\\\.\\proc1\\Setpoint", 2)});
    CHECK(LastUpdate(sub.server.Get()) == 0);
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    auto first = sub.sink.Calls()[0];
    CHECK(first.kind == 'D');
    CHECK(first.transactionId == 0);
    CHECK(first.group == 7);  // the client handle the group was added with
    CHECK(first.masterQuality == S_OK);
    CHECK(first.masterError == S_OK);
    REQUIRE(first.items.size() == 2);

    Sleep(300);  // fifteen scans at 20 ms
    CHECK(sub.sink.CallCount() == 1);
    CHECK(LastUpdate(sub.server.Get()) != 0);

    SetPoint(L"proc1\\Setpoint", 3.5);
    REQUIRE(sub.sink.WaitForCalls(2));
    auto second = sub.sink.Calls()[1];
    REQUIRE(second.items.size() == 1);
    CHECK(second.items[0].clientHandle == 2);
    CHECK(second.items[0].number == 3.5);
}

TEST_CASE("a change of quality alone is reported, with master quality S_FALSE")
{
    Subscription sub({ItemDef(L"\\\\.\\mem\\quality", 5)});
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    SetPointStatus(L"mem\\quality", 9);
    REQUIRE(sub.sink.WaitForCalls(2));
    auto call = sub.sink.Calls()[1];
    CHECK(call.masterQuality == S_FALSE);
    REQUIRE(call.items.size() == 1);
    CHECK(call.items[0].quality == OPC_QUALITY_BAD);
    CHECK(call.items[0].number == 0.0);
}

TEST_CASE("NaN counts as a change on every scan")
{
    Subscription sub({ItemDef(L"\\\\.\\mem\\nan", 5)});
    SetPoint(L"mem\\nan", std::numeric_limits<double>::quiet_NaN());
    REQUIRE(SimWaitForDeliveries(5000));
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(4));
    for (const auto& call : sub.sink.Calls()) {
        REQUIRE(call.items.size() == 1);
        CHECK(std::isnan(call.items[0].number));
    }
}

TEST_CASE("conversion failures are reported with an empty value and master error S_FALSE")
{
    Subscription sub({ItemDef(L"\\\\.\\proc1\\Label", 1, VT_R8), ItemDef(L"\\\\.\\proc1\\Constant", 2)});
    // Label is text: asked as a number it could not be added at all.
    REQUIRE(sub.added.errors[0] == OPC_E_BADTYPE);
    VARTYPE unreachable = VT_ARRAY | VT_R8;
    Errors errors;
    REQUIRE(sub.items->SetDatatypes(1, &sub.added.records[1].hServer, &unreachable, errors.Put()) == S_OK);
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    auto call = sub.sink.Calls()[0];
    CHECK(call.masterError == S_FALSE);
    REQUIRE(call.items.size() == 1);
    CHECK(FAILED(call.items[0].error));
    CHECK(call.items[0].type == VT_EMPTY);
}

TEST_CASE("deactivating and re-activating the group reports every active item again")
{
    Subscription sub({ItemDef(L"\\\\.\\proc1\\Constant", 1), ItemDef(L"\\\\.\\proc1\\Running", 2),
                      ItemDef(L"\\\\.\\proc1\\Setpoint", 3, VT_EMPTY, FALSE)});
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    CHECK(sub.sink.Calls()[0].items.size() == 2);  // the inactive item is not scanned
    sub.SetActive(FALSE);
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(2));
    CHECK(sub.sink.Calls()[1].items.size() == 2);
}

TEST_CASE("items are reported newest first, also after most of them were deactivated")
{
    Subscription sub({});
    std::vector<OPCITEMDEF> definitions;
    for (OPCHANDLE client = 1; client <= 40; ++client) definitions.push_back(ItemDef(L"\\\\.\\proc1\\Constant", client));
    OPCITEMRESULT* records = nullptr;
    HRESULT* errors = nullptr;
    REQUIRE(sub.items->AddItems(40, definitions.data(), &records, &errors) == S_OK);
    std::vector<OPCHANDLE> server(41);
    for (int i = 0; i < 40; ++i) server[i + 1] = records[i].hServer;
    CoTaskMemFree(records);
    CoTaskMemFree(errors);

    // Deactivating all but 31..40 and 20 leaves more than twice as many gaps as items; then 5 comes back.
    std::vector<OPCHANDLE> leaving;
    for (OPCHANDLE client = 1; client <= 30; ++client)
        if (client != 20) leaving.push_back(server[client]);
    REQUIRE(sub.items->SetActiveState(static_cast<DWORD>(leaving.size()), leaving.data(), FALSE, &errors) == S_OK);
    CoTaskMemFree(errors);
    REQUIRE(sub.items->SetActiveState(1, &server[5], TRUE, &errors) == S_OK);
    CoTaskMemFree(errors);

    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    const RecordedCall first = sub.sink.Calls()[0];
    std::vector<OPCHANDLE> reported;
    for (const RecordedItem& item : first.items) reported.push_back(item.clientHandle);
    CHECK(reported == std::vector<OPCHANDLE>{5, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 20});
}

TEST_CASE("a value that was read is not sent again")
{
    Subscription sub({ItemDef(L"\\\\.\\mem\\read", 1)}, 1500);
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    // The next scan is 1.5 s away: change the value and read it in the meantime.
    SetPoint(L"mem\\read", 8.0);
    REQUIRE(SimWaitForDeliveries(5000));
    CHECK(sub.CacheRead().first == 8.0);
    Sleep(2000);
    CHECK(sub.sink.CallCount() == 1);
}

TEST_CASE("a sink that fails three scans in a row makes the group inactive")
{
    Subscription sub({ItemDef(L"\\\\.\\mem\\failing", 1)});
    SetPoint(L"mem\\failing", std::numeric_limits<double>::quiet_NaN());  // a change on every scan
    REQUIRE(SimWaitForDeliveries(5000));
    sub.sink.dataChangeResult = E_FAIL;
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(3));
    Sleep(200);
    CHECK(sub.sink.CallCount() == 3);
    CHECK(StateOf(sub.group.Get()).active == FALSE);
    CHECK(sub.CacheRead().second == OPC_QUALITY_OUT_OF_SERVICE);

    // Activated again, it is scanned again.
    sub.sink.dataChangeResult = S_OK;
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(4));
}

TEST_CASE("a client may call into the group from inside OnDataChange")
{
    Subscription sub({ItemDef(L"\\\\.\\proc1\\Setpoint", 1)});
    std::atomic<int> nested{0};
    auto io = As<IOPCSyncIO>(sub.group.Get());
    sub.sink.onDataChange = [&] {
        if (ReadResults(io.Get(), OPC_DS_CACHE, {sub.Handle(0)}).result == S_OK) ++nested;
    };
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForCalls(1));
    CHECK(nested == 1);
}

TEST_CASE("removing a group while its callback runs waits for the callback, then succeeds")
{
    Subscription sub({ItemDef(L"\\\\.\\proc1\\Constant", 1)});
    sub.sink.blockDataChange = true;
    sub.SetActive(TRUE);
    REQUIRE(sub.sink.WaitForBlockedCall());

    std::atomic<HRESULT> removed{E_PENDING};
    std::thread remover([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        removed = sub.server->RemoveGroup(sub.groupHandle, TRUE);
        CoUninitialize();
    });
    Sleep(200);
    CHECK(removed == E_PENDING);
    sub.sink.Unblock();
    remover.join();
    CHECK(removed == S_OK);
    CHECK(sub.sink.refs == 1);  // the group let go of the sink
}
