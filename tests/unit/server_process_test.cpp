// Process-wide start-up and shut-down of the server: the link lives exactly as long as
// at least one server instance does, and its receivers hold their interfaces meanwhile.

#include <doctest.h>

#include "orv/com/ComObject.h"
#include "sim/simctl.h"
#include "twopc/server/OPCServer.h"
#include "twopc/server/ServerProcess.h"

using orv::com::ComPtr;
using orv::com::MakeComObject;
using twopc::server::COPCServer;
using twopc::server::ServerProcess;

TEST_CASE("receivers hold their link interface while running, and the link drops them at shut-down")
{
    SimReset();
    {
        ComPtr<COPCServer> server = MakeComObject<COPCServer>();
        auto* realtime = ServerProcess::RealtimeClient();
        auto* browse = ServerProcess::BrowseClient();
        REQUIRE(realtime != nullptr);
        REQUIRE(browse != nullptr);
        CHECK(realtime->linkInterface);
        CHECK(browse->linkInterface);

        // QueryInterface answers IUnknown and the receiver interface only.
        IUnknown* unknown = nullptr;
        REQUIRE(realtime->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)) == S_OK);
        CHECK(unknown == static_cast<IUnknown*>(realtime));
        unknown->Release();
        void* other = reinterpret_cast<void*>(1);
        CHECK(realtime->QueryInterface(twopc::link::IID_IKelvaneBrowserReceiver, &other) == E_NOINTERFACE);
        CHECK(other == nullptr);
        CHECK(browse->OnBrowse(nullptr, nullptr) == 0);
    }
    SimCounters counters{};
    SimGetCounters(&counters);
    CHECK(counters.receiversHeld == 0);
    CHECK(counters.liveOemObjects == 0);
}
