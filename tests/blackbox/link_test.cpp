// The realtime link follows the server instances of the process: the first instance
// starts it, the last one stops it, and it can be started again.

#include "ComTest.h"

#include "sim/simctl.h"

#include <string>

using namespace twopc::test;

namespace {

SimCounters Counters()
{
    SimCounters counters{};
    SimGetCounters(&counters);
    return counters;
}

std::wstring ClientKind()
{
    wchar_t kind[32] = {};
    SimGetClientKind(kind, 32);
    return kind;
}

void CheckLinkStopped()
{
    SimCounters now = Counters();
    CHECK(now.liveOemObjects == 0);
    CHECK(now.liveRealTimes == 0);
    CHECK(now.liveBrowsers == 0);
    CHECK(now.receiversHeld == 0);
}

}  // namespace

TEST_CASE("the first instance starts the link once, the last one stops it, and it starts again")
{
    SimReset();
    CheckLinkStopped();

    Ref<IOPCServer> first;
    CreateServerAs(first);
    CHECK(Narrow(ClientKind()) == "OPC");
    SimCounters running = Counters();
    CHECK(running.liveOemObjects == 1);
    CHECK(running.liveRealTimes == 1);
    CHECK(running.liveBrowsers == 1);
    CHECK(running.receiversHeld == 2);

    Ref<IOPCServer> second;
    CreateServerAs(second);
    CHECK(Counters().realTimesCreated == 1);
    CHECK(Counters().browsersCreated == 1);

    first.Reset();
    CHECK(Counters().liveRealTimes == 1);
    CHECK(Counters().liveOemObjects == 1);

    second.Reset();
    CheckLinkStopped();

    SimReset();
    Ref<IOPCServer> again;
    CreateServerAs(again);
    CHECK(Narrow(ClientKind()) == "OPC");
    CHECK(Counters().realTimesCreated == 1);
    CHECK(Counters().liveRealTimes == 1);
    again.Reset();
    CheckLinkStopped();
}

TEST_CASE("a realtime link that fails to open leaves the server running without it")
{
    SimReset();
    SimFailNextCreations(SIM_LINK_REALTIME, 1);
    Ref<IOPCServer> server;
    CreateServerAs(server);
    SimCounters counters = Counters();
    CHECK(counters.liveRealTimes == 0);
    CHECK(counters.liveBrowsers == 1);
    CHECK(counters.receiversHeld == 1);

    OPCSERVERSTATUS* status = nullptr;
    REQUIRE(server->GetStatus(&status) == S_OK);
    CHECK(status->dwServerState == OPC_STATUS_RUNNING);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    server.Reset();
    CheckLinkStopped();
    SimReset();
}

TEST_CASE("a browse link that fails to open leaves items working and listings empty")
{
    SimReset();
    SimFailNextCreations(SIM_LINK_BROWSER, 1);
    {
        ServerWithGroup s;
        CHECK(Counters().liveBrowsers == 0);
        ItemResults added;
        AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Constant", 1, VT_EMPTY)}, added);
        CHECK(added.result == S_OK);
        // Without the tree below the roots the item takes the requested-type rule.
        CHECK(added.records[0].vtCanonicalDataType == VT_R8);

        Ref<IOPCBrowseServerAddressSpace> browse;
        REQUIRE(s.server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid()) == S_OK);
        // The configured roots are there; nothing below them can be fetched.
        REQUIRE(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Network") == S_OK);
        Ref<IEnumString> names;
        CHECK(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.Put()) == S_FALSE);
        CHECK(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Put()) == S_FALSE);
    }
    CheckLinkStopped();
    SimReset();
}
