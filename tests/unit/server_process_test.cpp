// Process-wide start-up and shut-down of the server: the worker threads and the link
// live exactly as long as at least one server instance does.

#include <doctest.h>

#include "orv/com/ComObject.h"
#include "sim/simctl.h"
#include "twopc/io/AsyncIOMgr.h"
#include "twopc/io/UpdateScanMgr.h"
#include "twopc/server/OPCServer.h"
#include "twopc/server/ServerProcess.h"

using orv::com::ComPtr;
using orv::com::MakeComObject;
using twopc::io::CAsyncIOMgr;
using twopc::io::CUpdateScanMgr;
using twopc::server::COPCServer;
using twopc::server::ServerProcess;

namespace {

class ThreadHandle {
public:
    explicit ThreadHandle(DWORD id) : m_handle(OpenThread(SYNCHRONIZE, FALSE, id)) {}
    ~ThreadHandle()
    {
        if (m_handle) CloseHandle(m_handle);
    }
    bool Running() const { return m_handle && WaitForSingleObject(m_handle, 0) == WAIT_TIMEOUT; }
    bool Ended() const { return m_handle && WaitForSingleObject(m_handle, 0) == WAIT_OBJECT_0; }

private:
    HANDLE m_handle;
};

}  // namespace

TEST_CASE("worker threads start with the first instance and are joined when the last one goes")
{
    CHECK(CUpdateScanMgr::Users() == 0);
    CHECK(CAsyncIOMgr::Users() == 0);

    ComPtr<COPCServer> first = MakeComObject<COPCServer>();
    CHECK(ServerProcess::InstanceCount() == 1);
    CHECK(CUpdateScanMgr::Users() == 1);
    CHECK(CAsyncIOMgr::Users() == 1);
    CUpdateScanMgr* scan = CUpdateScanMgr::Attach();
    CAsyncIOMgr* async = CAsyncIOMgr::Attach();
    ThreadHandle scanThread(scan->ThreadId());
    ThreadHandle asyncThread(async->ThreadId());
    CUpdateScanMgr::Detach();
    CAsyncIOMgr::Detach();
    CHECK(scanThread.Running());
    CHECK(asyncThread.Running());

    ComPtr<COPCServer> second = MakeComObject<COPCServer>();
    CHECK(CUpdateScanMgr::Users() == 2);
    CHECK(CUpdateScanMgr::Attach() == scan);  // shared, not one per instance
    CUpdateScanMgr::Detach();

    first.Reset();
    CHECK(ServerProcess::InstanceCount() == 1);
    CHECK(scanThread.Running());
    CHECK(ServerProcess::RealtimeClient() != nullptr);

    second.Reset();
    CHECK(ServerProcess::InstanceCount() == 0);
    CHECK(CUpdateScanMgr::Users() == 0);
    CHECK(CAsyncIOMgr::Users() == 0);
    // Destruction joins: the threads are gone by the time the release returns.
    CHECK(scanThread.Ended());
    CHECK(asyncThread.Ended());
    CHECK(ServerProcess::RealtimeClient() == nullptr);
    CHECK(ServerProcess::BrowseClient() == nullptr);
}

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
