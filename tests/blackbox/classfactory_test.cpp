// The class object, creation (plain and aggregated), the module lock and the server's
// interface list.

#include "ComTest.h"

#include <comcat.h>

using namespace twopc::test;

namespace {

Ref<IClassFactory> Factory()
{
    Ref<IClassFactory> factory;
    REQUIRE(CoGetClassObject(kServerClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.PutVoid()) == S_OK);
    return factory;
}

}  // namespace

TEST_CASE("DllCanUnloadNow follows live objects and LockServer")
{
    auto factory = Factory();
    CHECK(ModuleCanUnloadNow() == S_OK);  // the cached class object does not count

    Ref<IOPCServer> server;
    REQUIRE(factory->CreateInstance(nullptr, IID_IOPCServer, server.PutVoid()) == S_OK);
    CHECK(ModuleCanUnloadNow() == S_FALSE);
    Ref<IEnumConnectionPoints> points;
    REQUIRE(As<IConnectionPointContainer>(server.Get())->EnumConnectionPoints(points.Put()) == S_OK);
    server.Reset();
    CHECK(ModuleCanUnloadNow() == S_FALSE);  // the enumerator holds the connection point, and so the server
    points.Reset();
    CHECK(ModuleCanUnloadNow() == S_OK);

    REQUIRE(factory->LockServer(TRUE) == S_OK);
    CHECK(ModuleCanUnloadNow() == S_FALSE);
    REQUIRE(factory->LockServer(FALSE) == S_OK);
    CHECK(ModuleCanUnloadNow() == S_OK);

    // A creation that fails at the interface query leaves nothing alive.
    Ref<IUnknown> none;
    CHECK(factory->CreateInstance(nullptr, IID_IOPCServerPublicGroups, none.PutVoid()) == E_NOINTERFACE);
    CHECK(!none);
    CHECK(ModuleCanUnloadNow() == S_OK);
}

TEST_CASE("aggregation: only IUnknown may be asked for, and the inner object delegates to the outer")
{
    auto factory = Factory();
    CountedUnknown outer;

    void* inner = reinterpret_cast<void*>(1);
    CHECK(factory->CreateInstance(&outer, IID_IOPCServer, &inner) == CLASS_E_NOAGGREGATION);
    CHECK(inner == nullptr);
    CHECK(ModuleCanUnloadNow() == S_OK);

    Ref<IUnknown> innerUnknown;
    REQUIRE(factory->CreateInstance(&outer, IID_IUnknown, innerUnknown.PutVoid()) == S_OK);
    CHECK(outer.refs == 1);

    IOPCServer* server = nullptr;
    REQUIRE(innerUnknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)) == S_OK);
    CHECK(outer.refs == 2);  // the interface's reference belongs to the outer object
    IUnknown* identity = nullptr;
    // QueryInterface through the interface goes to the outer object, which answers IUnknown itself.
    REQUIRE(server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)) == S_OK);
    CHECK(identity == static_cast<IUnknown*>(&outer));
    identity->Release();
    CHECK(ServerStatus(server)->dwServerState == OPC_STATUS_RUNNING);
    server->Release();
    CHECK(outer.refs == 1);

    innerUnknown.Reset();
    CHECK(ModuleCanUnloadNow() == S_OK);
}
