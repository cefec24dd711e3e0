// An apartment-threaded client of the in-process server: COM puts the free-threaded
// server in the multithreaded apartment and hands the client a proxy, so every call and
// every callback is marshalled by the proxy/stub library.

#include "FakeDataCallback.h"

#include <thread>

using namespace twopc::test;

namespace {

// What the client thread saw; checked on the test's thread, since a failed REQUIRE
// must not end another thread.
struct ApartmentRun {
    DWORD thread = 0;
    HRESULT created = E_UNEXPECTED;
    bool proxy = false;
    HRESULT addGroup = E_UNEXPECTED;
    HRESULT addItems = E_UNEXPECTED;
    HRESULT advise = E_UNEXPECTED;
    HRESULT asyncRead = E_UNEXPECTED;
    bool dataChange = false;
    bool readComplete = false;
    std::vector<DWORD> callbackThreads;
};

// Dispatches the apartment's messages until `done` holds or ten seconds have passed.
template <class Condition>
bool PumpUntil(Condition done)
{
    const ULONGLONG until = GetTickCount64() + 10000;
    while (!done() && GetTickCount64() < until) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    return done();
}

void RunClient(ApartmentRun& run, FakeDataCallback& sink)
{
    run.thread = GetCurrentThreadId();
    sink.onDataChange = [&run] { run.callbackThreads.push_back(GetCurrentThreadId()); };
    Ref<IOPCServer> server;
    run.created = CoCreateInstance(kServerClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCServer, server.PutVoid());
    if (FAILED(run.created)) return;
    Ref<IClientSecurity> security;
    run.proxy = server->QueryInterface(IID_IClientSecurity, security.PutVoid()) == S_OK;

    Ref<IOPCGroupStateMgt> group;
    AddedGroup added = AddGroup(server.Get(), L"apartment", group, 100, TRUE);
    run.addGroup = added.result;
    if (FAILED(run.addGroup)) return;
    Ref<IConnectionPointContainer> container;
    Ref<IConnectionPoint> point;
    group->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    container->FindConnectionPoint(IID_IOPCDataCallback, point.Put());
    DWORD cookie = 0;
    run.advise = point->Advise(&sink, &cookie);
    if (FAILED(run.advise)) return;
    // Advised before the item comes, so that its first value is reported to the sink.
    Ref<IOPCItemMgt> items;
    group->QueryInterface(IID_IOPCItemMgt, items.PutVoid());
    ItemResults results;
    AddItems(items.Get(), {ItemDef(L"\\\\.\\proc1\\Constant", 5)}, results);
    run.addItems = results.result;
    if (FAILED(run.addItems)) return;
    run.dataChange = PumpUntil([&] { return sink.CallCount() > 0; });

    Ref<IOPCAsyncIO2> io;
    group->QueryInterface(IID_IOPCAsyncIO2, io.PutVoid());
    OPCHANDLE handle = results.records[0].hServer;
    DWORD cancelId = 0;
    Errors errors;
    run.asyncRead = io->Read(1, &handle, 9, &cancelId, errors.Put());
    run.readComplete = PumpUntil([&] {
        for (const RecordedCall& call : sink.Calls())
            if (call.kind == 'R' && call.transactionId == 9) return true;
        return false;
    });
    point->Unadvise(cookie);
    io.Reset();
    point.Reset();
    container.Reset();
    items.Reset();
    group.Reset();
    server->RemoveGroup(added.handle, FALSE);
}

}  // namespace

TEST_CASE("an apartment-threaded client works through the apartment proxy and gets callbacks on its own thread")
{
    FakeDataCallback sink;
    ApartmentRun run;
    std::thread client([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        RunClient(run, sink);
        CoDisconnectObject(&sink, 0);
        CoUninitialize();
    });
    client.join();

    REQUIRE(run.created == S_OK);
    CHECK(run.proxy);
    CHECK(run.addGroup == S_OK);
    CHECK(run.addItems == S_OK);
    CHECK(run.advise == S_OK);
    CHECK(run.dataChange);
    CHECK(run.asyncRead == S_OK);
    CHECK(run.readComplete);
    REQUIRE_FALSE(run.callbackThreads.empty());
    for (DWORD thread : run.callbackThreads) CHECK(thread == run.thread);
    const auto calls = sink.Calls();
    REQUIRE_FALSE(calls.empty());
    CHECK(calls[0].items.size() == 1);
    CHECK(calls[0].items[0].number == 42.0);
}
