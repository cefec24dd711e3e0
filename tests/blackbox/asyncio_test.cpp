// IOPCAsyncIO2 through COM: requests, completions, cancellation and the enable flag.

#include "FakeDataCallback.h"

#include <olectl.h>

#include <thread>

using namespace twopc::test;

namespace {

// A group with a recording data callback and some items; client group handle as given.
struct AsyncGroup {
    Ref<IOPCGroupStateMgt> group;
    Ref<IOPCItemMgt> items;
    Ref<IOPCAsyncIO2> io;
    OPCHANDLE handle = 0;
    ItemResults added;

    AsyncGroup(IOPCServer* server, const wchar_t* name, OPCHANDLE clientHandle, FakeDataCallback* sink,
               std::initializer_list<OPCITEMDEF> definitions, BOOL active = FALSE)
    {
        AddedGroup result = AddGroup(server, name, group, 1000, active, nullptr, clientHandle);
        REQUIRE(result.result == S_OK);
        handle = result.handle;
        items = As<IOPCItemMgt>(group.Get());
        io = As<IOPCAsyncIO2>(group.Get());
        AddItems(items.Get(), definitions, added);
        REQUIRE(SUCCEEDED(added.result));
        if (sink) AdviseDataCallback(group.Get(), sink);
    }
    OPCHANDLE Item(int i) const { return added.records[i].hServer; }

    HRESULT Read2(std::vector<OPCHANDLE> handles, DWORD transactionId, DWORD* cancelId, HRESULT** errors = nullptr)
    {
        Errors own;
        return io->Read(static_cast<DWORD>(handles.size()), handles.data(), transactionId, cancelId,
                        errors ? errors : own.Put());
    }
};

std::vector<RecordedCall> CallsWithTransaction(FakeDataCallback& sink, DWORD transactionId)
{
    std::vector<RecordedCall> found;
    for (auto& call : sink.Calls())
        if (call.transactionId == transactionId) found.push_back(call);
    return found;
}

}  // namespace

TEST_CASE("Read2 checks its arguments, the callback and each item's rights")
{
    auto server = NewServer<IOPCServer>();
    AsyncGroup unadvised(server.Get(), L"NoSink", 1, nullptr, {ItemDef(L"\\\\.\\proc1\\Constant")});
    DWORD cancelId = 99;
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    OPCHANDLE handle = unadvised.Item(0);
    CHECK(unadvised.io->Read(1, &handle, 5, &cancelId, &errors) == CONNECT_E_NOCONNECTION);
    CHECK(cancelId == 0);
    CHECK(errors == nullptr);
    CHECK(unadvised.io->Read(0, &handle, 5, &cancelId, &errors) == E_INVALIDARG);
    CHECK(unadvised.io->Read(1, &handle, 5, nullptr, &errors) == E_INVALIDARG);

    FakeDataCallback sink;
    AsyncGroup g(server.Get(), L"Sink", 2, &sink,
                 {ItemDef(L"\\\\.\\proc1\\Constant", 10), ItemDef(L"\\\\.\\proc1\\WriteOnly", 20)});
    Errors rights;
    REQUIRE(g.Read2({g.Item(0), g.Item(1)}, 77, &cancelId, rights.Put()) == S_FALSE);
    CHECK(rights[0] == S_OK);
    CHECK(rights[1] == OPC_E_BADRIGHTS);
    CHECK(cancelId != 0);
    REQUIRE(sink.WaitForCalls(1));
    auto call = sink.Calls()[0];
    CHECK(call.kind == 'R');
    CHECK(call.transactionId == 77);
    CHECK(call.group == 2);
    CHECK(call.masterQuality == S_OK);
    CHECK(call.masterError == S_OK);
    REQUIRE(call.items.size() == 1);
    CHECK(call.items[0].clientHandle == 10);
    CHECK(call.items[0].number == 42.0);

    // Nothing valid: nothing queued.
    OPCHANDLE invalid[] = {0xFFFFFFF0, 0xFFFFFFF1};
    VARIANT values[] = {VariantOf(VT_EMPTY), VariantOf(VT_EMPTY)};
    cancelId = 99;
    REQUIRE(g.io->Write(2, invalid, values, 78, &cancelId, rights.Put()) == S_FALSE);
    CHECK(rights[0] == OPC_E_INVALIDHANDLE);
    CHECK(cancelId == 0);
    Sleep(100);
    CHECK(CallsWithTransaction(sink, 78).empty());
}

TEST_CASE("Cancel2 takes out a queued transaction of any group, and fails once it has run")
{
    auto server = NewServer<IOPCServer>();
    FakeDataCallback sink;
    AsyncGroup silent(server.Get(), L"Silent", 3, &sink, {ItemDef(L"\\\\.\\proc1\\Silent")});
    AsyncGroup a(server.Get(), L"A", 1, &sink, {ItemDef(L"\\\\.\\proc1\\Constant")});
    AsyncGroup b(server.Get(), L"B", 2, &sink, {ItemDef(L"\\\\.\\proc1\\Constant")});

    // The silent point's read holds the queue for about three seconds (and its own group's
    // lock, which is why it has a group of its own).
    DWORD blocker = 0, queued = 0, otherGroup = 0, done = 0;
    REQUIRE(silent.Read2({silent.Item(0)}, 1, &blocker) == S_OK);
    REQUIRE(a.Read2({a.Item(0)}, 2, &queued) == S_OK);
    REQUIRE(b.Read2({b.Item(0)}, 3, &otherGroup) == S_OK);
    REQUIRE(a.Read2({a.Item(0)}, 4, &done) == S_OK);
    CHECK(a.io->Cancel2(queued) == S_OK);
    CHECK(a.io->Cancel2(queued) == E_FAIL);
    CHECK(a.io->Cancel2(otherGroup) == S_OK);  // the ID alone decides
    CHECK(a.io->Cancel2(0xFFFFFF00) == E_FAIL);

    REQUIRE(sink.WaitForCalls(2, 10000));
    Sleep(100);
    auto calls = sink.Calls();
    REQUIRE(calls.size() == 2);
    CHECK(calls[0].transactionId == 1);
    CHECK(calls[0].items.size() == 1);
    CHECK(calls[0].items[0].error == OPC_E_UNKNOWNITEMID);
    CHECK(calls[0].masterError == S_FALSE);
    CHECK(calls[1].transactionId == 4);
    CHECK(a.io->Cancel2(done) == E_FAIL);
}

TEST_CASE("Refresh2 needs an active group with active items, and sends nothing once it was deactivated")
{
    auto server = NewServer<IOPCServer>();
    FakeDataCallback sink;
    AsyncGroup g(server.Get(), L"R", 5, &sink, {ItemDef(L"\\\\.\\proc1\\Constant", 2)});
    AsyncGroup silent(server.Get(), L"Silent", 6, &sink, {ItemDef(L"\\\\.\\proc1\\Silent")});
    DWORD cancelId = 99;
    CHECK(g.io->Refresh2(OPC_DS_CACHE, 9, &cancelId) == E_FAIL);  // inactive
    CHECK(cancelId == 0);
    CHECK(g.io->Refresh2(static_cast<OPCDATASOURCE>(3), 9, &cancelId) == E_INVALIDARG);

    FakeDataCallback otherSink;
    AsyncGroup empty(server.Get(), L"Empty", 7, &otherSink, {ItemDef(L"\\\\.\\proc1\\Constant", 1, VT_EMPTY, FALSE)},
                     TRUE);
    CHECK(empty.io->Refresh2(OPC_DS_CACHE, 9, &cancelId) == E_FAIL);  // no active item

    SetActive(g.group.Get(), TRUE);
    REQUIRE(sink.WaitForCalls(1));  // the first scan
    REQUIRE(silent.Read2({silent.Item(0)}, 40, &cancelId) == S_OK);  // holds the queue
    REQUIRE(g.io->Refresh2(OPC_DS_DEVICE, 41, &cancelId) == S_OK);
    CHECK(cancelId != 0);
    SetActive(g.group.Get(), FALSE);
    REQUIRE(sink.WaitForCalls(2, 10000));
    Sleep(100);
    CHECK(CallsWithTransaction(sink, 40).size() == 1);
    CHECK(CallsWithTransaction(sink, 41).empty());

    SetActive(g.group.Get(), TRUE);
    REQUIRE(g.io->Refresh2(OPC_DS_CACHE, 42, &cancelId) == S_OK);
    Sleep(500);
    auto refresh = CallsWithTransaction(sink, 42);
    REQUIRE(refresh.size() == 1);
    CHECK(refresh[0].kind == 'D');
    REQUIRE(refresh[0].items.size() == 1);
    CHECK(refresh[0].items[0].clientHandle == 2);
}

TEST_CASE("removing a group, or releasing the last server, waits for the group's queued transactions")
{
    FakeDataCallback sink;
    {
        auto server = NewServer<IOPCServer>();
        AsyncGroup a(server.Get(), L"A", 1, &sink,
                     {ItemDef(L"\\\\.\\proc1\\Silent"), ItemDef(L"\\\\.\\proc1\\Constant")});
        AsyncGroup b(server.Get(), L"B", 2, &sink, {ItemDef(L"\\\\.\\proc1\\Constant")});
        DWORD cancelId;
        REQUIRE(a.Read2({a.Item(0)}, 1, &cancelId) == S_OK);  // holds the queue
        REQUIRE(b.Read2({b.Item(0)}, 2, &cancelId) == S_OK);
        for (DWORD i = 3; i < 6; ++i) REQUIRE(a.Read2({a.Item(1)}, i, &cancelId) == S_OK);
        CHECK(server->RemoveGroup(b.handle, TRUE) == S_OK);
        CHECK(CallsWithTransaction(sink, 2).size() == 1);  // B's read ran before the removal finished
    }
    // The forced removal of the last release waited for every transaction of A.
    CHECK(sink.CallCount() == 5);
    CHECK(sink.refs == 1);
    CHECK(ModuleCanUnloadNow() == S_OK);
}
