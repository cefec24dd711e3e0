// A realtime link that cannot be opened: the server runs on without it.

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

void CheckLinkStopped()
{
    SimCounters now = Counters();
    CHECK(now.liveOemObjects == 0);
    CHECK(now.liveRealTimes == 0);
    CHECK(now.liveBrowsers == 0);
    CHECK(now.receiversHeld == 0);
}

}  // namespace

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
