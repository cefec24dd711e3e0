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

TEST_CASE("the last update time moves when a client is told, not when a scan tells nobody")
{
    Subscription sub({ItemDef(L"\\\\.\\mem\\told", 1)});
    SetPoint(L"mem\\told", 1.0);
    Ref<IOPCAsyncIO2> io = As<IOPCAsyncIO2>(sub.group.Get());
    REQUIRE(io->SetEnable(FALSE) == S_OK);
    sub.SetActive(TRUE);
    // Some scans at 20 ms, the first of them with the item's first report for nobody.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(sub.sink.Calls().empty());
    CHECK(LastUpdate(sub.server.Get()) == 0);

    REQUIRE(io->SetEnable(TRUE) == S_OK);
    SetPoint(L"mem\\told", 2.0);
    REQUIRE(sub.sink.WaitForCalls(1));
    // Noted once the callback has returned, which the sink's record of the call precedes.
    CHECK(WaitFor([&] { return LastUpdate(sub.server.Get()) != 0; }));
}
