// The class object, creation (plain and aggregated), the module lock and the server's
// interface list.

#include "ComTest.h"

#include <comcat.h>

using namespace twopc::test;

namespace {

using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// The library that COM loaded for the registered class.
HMODULE ServerModule()
{
    Ref<IClassFactory> factory;
    REQUIRE(CoGetClassObject(kServerClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.PutVoid()) == S_OK);
    HMODULE module = GetModuleHandleW(L"twopc.dll");
    REQUIRE(module != nullptr);
    return module;
}

HRESULT CanUnloadNow()
{
    auto canUnload = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(ServerModule(), "DllCanUnloadNow")));
    REQUIRE(static_cast<bool>(canUnload));
    return canUnload();
}

void GetFactory(Ref<IClassFactory>& factory)
{
    REQUIRE(CoGetClassObject(kServerClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.PutVoid()) == S_OK);
}

}  // namespace

TEST_CASE("DllCanUnloadNow follows live objects and LockServer")
{
    Ref<IClassFactory> factory;
    GetFactory(factory);
    CHECK(CanUnloadNow() == S_OK);  // the cached class object does not count

    Ref<IOPCServer> server;
    REQUIRE(factory->CreateInstance(nullptr, IID_IOPCServer, server.PutVoid()) == S_OK);
    CHECK(CanUnloadNow() == S_FALSE);
    Ref<IEnumConnectionPoints> points;
    Ref<IConnectionPointContainer> container;
    REQUIRE(server->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()) == S_OK);
    REQUIRE(container->EnumConnectionPoints(points.Put()) == S_OK);
    container.Reset();
    server.Reset();
    CHECK(CanUnloadNow() == S_FALSE);  // the enumerator holds the connection point, and so the server
    points.Reset();
    CHECK(CanUnloadNow() == S_OK);

    REQUIRE(factory->LockServer(TRUE) == S_OK);
    CHECK(CanUnloadNow() == S_FALSE);
    REQUIRE(factory->LockServer(FALSE) == S_OK);
    CHECK(CanUnloadNow() == S_OK);

    // A creation that fails at the interface query leaves nothing alive.
    Ref<IUnknown> none;
    CHECK(factory->CreateInstance(nullptr, IID_IOPCServerPublicGroups, none.PutVoid()) == E_NOINTERFACE);
    CHECK(!none);
    CHECK(CanUnloadNow() == S_OK);
}

TEST_CASE("DllGetClassObject knows only the server's class")
{
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(ServerModule(), "DllGetClassObject")));
    REQUIRE(static_cast<bool>(getClassObject));

    Ref<IClassFactory> factory;
    CHECK(getClassObject(CLSID_StdComponentCategoriesMgr, IID_IClassFactory, factory.PutVoid()) ==
          CLASS_E_CLASSNOTAVAILABLE);
    CHECK(!factory);
    REQUIRE(getClassObject(kServerClsid, IID_IClassFactory, factory.PutVoid()) == S_OK);
    Ref<IClassFactory> again;
    REQUIRE(getClassObject(kServerClsid, IID_IClassFactory, again.PutVoid()) == S_OK);
    CHECK(again.Get() == factory.Get());
}

TEST_CASE("aggregation: only IUnknown may be asked for, and the inner object delegates to the outer")
{
    Ref<IClassFactory> factory;
    GetFactory(factory);
    CountedUnknown outer;

    void* inner = reinterpret_cast<void*>(1);
    CHECK(factory->CreateInstance(&outer, IID_IOPCServer, &inner) == CLASS_E_NOAGGREGATION);
    CHECK(inner == nullptr);
    CHECK(CanUnloadNow() == S_OK);

    Ref<IUnknown> innerUnknown;
    REQUIRE(factory->CreateInstance(&outer, IID_IUnknown, innerUnknown.PutVoid()) == S_OK);
    CHECK(outer.Refs() == 1);

    IOPCServer* server = nullptr;
    REQUIRE(innerUnknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)) == S_OK);
    CHECK(outer.Refs() == 2);  // the interface's reference belongs to the outer object
    IUnknown* identity = nullptr;
    // QueryInterface through the interface goes to the outer object, which answers IUnknown itself.
    REQUIRE(server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)) == S_OK);
    CHECK(identity == static_cast<IUnknown*>(&outer));
    identity->Release();
    OPCSERVERSTATUS* status = nullptr;
    REQUIRE(server->GetStatus(&status) == S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    server->Release();
    CHECK(outer.Refs() == 1);

    innerUnknown.Reset();
    CHECK(CanUnloadNow() == S_OK);
}

TEST_CASE("the server answers its own interfaces with one identity and refuses public groups")
{
    Ref<IOPCServer> server;
    CreateServerAs(server);
    Ref<IUnknown> identity;
    REQUIRE(server->QueryInterface(IID_IUnknown, identity.PutVoid()) == S_OK);

    for (const IID* iid : {&IID_IOPCServer, &IID_IOPCCommon, &IID_IConnectionPointContainer}) {
        Ref<IUnknown> face;
        REQUIRE(server->QueryInterface(*iid, face.PutVoid()) == S_OK);
        Ref<IUnknown> back;
        REQUIRE(face->QueryInterface(IID_IUnknown, back.PutVoid()) == S_OK);
        CHECK(back.Get() == identity.Get());
    }
    Ref<IUnknown> none;
    CHECK(server->QueryInterface(IID_IOPCServerPublicGroups, none.PutVoid()) == E_NOINTERFACE);
    CHECK(!none);
    CHECK(server->QueryInterface(IID_IOPCServer, nullptr) == E_POINTER);
}
