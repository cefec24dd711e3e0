// The server's connection point for IOPCShutdown.

#include "ComTest.h"

#include <olectl.h>

using namespace twopc::test;

namespace {

// Records every call; lives on the test's stack.
class FakeShutdownSink : public StackObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override
    {
        ++requests;
        return S_OK;
    }

    std::atomic<int> requests{0};
};

Ref<IConnectionPoint> ShutdownPoint(IUnknown* server)
{
    Ref<IConnectionPoint> point;
    REQUIRE(As<IConnectionPointContainer>(server)->FindConnectionPoint(IID_IOPCShutdown, point.Put()) == S_OK);
    return point;
}

}  // namespace

TEST_CASE("container: one connection point, for IOPCShutdown only")
{
    auto container = NewServer<IConnectionPointContainer>();

    Ref<IConnectionPoint> point;
    CHECK(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()) == CONNECT_E_NOCONNECTION);
    CHECK(!point);
    CHECK(container->FindConnectionPoint(IID_IOPCShutdown, nullptr) == E_POINTER);
    REQUIRE(container->FindConnectionPoint(IID_IOPCShutdown, point.Put()) == S_OK);

    IID iid{};
    REQUIRE(point->GetConnectionInterface(&iid) == S_OK);
    CHECK(iid == IID_IOPCShutdown);

    Ref<IConnectionPointContainer> back;
    REQUIRE(point->GetConnectionPointContainer(back.Put()) == S_OK);
    CHECK(back.Get() == container.Get());

    Ref<IEnumConnectionPoints> points;
    REQUIRE(container->EnumConnectionPoints(points.Put()) == S_OK);
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    CHECK(points->Next(2, listed, &fetched) == S_FALSE);
    REQUIRE(fetched == 1);
    CHECK(listed[0] == point.Get());
    listed[0]->Release();
}

TEST_CASE("advise: IOPCShutdown sinks only, one at a time, always cookie 1, released on unadvise")
{
    auto server = NewServer<IOPCServer>();
    auto point = ShutdownPoint(server.Get());

    FakeShutdownSink first, second;
    CountedUnknown notASink;
    DWORD cookie = 99;
    CHECK(point->Advise(nullptr, &cookie) == E_POINTER);
    CHECK(cookie == 0);
    CHECK(point->Advise(&first, nullptr) == E_POINTER);
    cookie = 99;
    CHECK(point->Advise(&notASink, &cookie) == CONNECT_E_CANNOTCONNECT);
    CHECK(cookie == 0);
    CHECK(notASink.refs == 1);

    REQUIRE(point->Advise(&first, &cookie) == S_OK);
    CHECK(cookie == 1);
    CHECK(first.refs == 2);

    cookie = 99;
    CHECK(point->Advise(&second, &cookie) == CONNECT_E_ADVISELIMIT);
    CHECK(cookie == 0);
    CHECK(second.refs == 1);

    Ref<IEnumConnections> connections;
    REQUIRE(point->EnumConnections(connections.Put()) == S_OK);
    CONNECTDATA data[2] = {};
    ULONG fetched = 0;
    CHECK(connections->Next(2, data, &fetched) == S_FALSE);
    REQUIRE(fetched == 1);
    CHECK(data[0].dwCookie == 1);
    CHECK(data[0].pUnk == static_cast<IUnknown*>(&first));
    data[0].pUnk->Release();
    connections.Reset();
    CHECK(first.refs == 2);

    CHECK(point->Unadvise(2) == CONNECT_E_NOCONNECTION);
    CHECK(point->Unadvise(1) == S_OK);
    CHECK(first.refs == 1);
    CHECK(point->Unadvise(1) == CONNECT_E_NOCONNECTION);

    REQUIRE(point->Advise(&second, &cookie) == S_OK);
    CHECK(cookie == 1);
    REQUIRE(point->Unadvise(1) == S_OK);

    REQUIRE(point->EnumConnections(connections.Put()) == S_OK);
    CHECK(connections->Next(1, data, &fetched) == S_FALSE);
    CHECK(fetched == 0);
    CHECK(first.requests == 0);
    CHECK(second.requests == 0);
}
