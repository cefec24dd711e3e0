// Clients that call back in from their callbacks, remove and release things while other
// threads use them, and ask for absurd counts: each case is the smallest scenario that
// used to crash or hang the process, and must now end with the documented results.

#include "FakeAdviseSink.h"
#include "FakeDataCallback.h"

#include <atomic>
#include <cstdio>
#include <thread>

using namespace twopc::test;

namespace {

// Far beyond any wait of a healthy server; reaching it means a deadlock.
constexpr DWORD kHangLimitMs = 30000;

const CLIPFORMAT kDataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));

FORMATETC DataTimeFormat()
{
    return FORMATETC{kDataTime, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

// Work on a thread of its own in the multithreaded apartment. A call that has not
// returned within the hang limit ends the run at once: a deadlocked server cannot be
// unwound, and waiting for CTest's time-out would only hide which call it was.
class Background {
public:
    template <class Work>
    Background(const char* what, Work work) : m_what(what), m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, work] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            work();
            CoUninitialize();
            SetEvent(m_done);
        });
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background()
    {
        Join();
        CloseHandle(m_done);
    }
    void Join()
    {
        if (!m_thread.joinable()) return;
        if (WaitForSingleObject(m_done, kHangLimitMs) != WAIT_OBJECT_0) {
            std::printf("hang: %s has not returned after %lu ms\n", m_what, kHangLimitMs);
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        m_thread.join();
    }

private:
    const char* m_what;
    HANDLE m_done;
    std::thread m_thread;
};

// A one-way gate between threads.
class Gate {
public:
    Gate() : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    ~Gate() { CloseHandle(m_event); }
    void Open() { SetEvent(m_event); }
    bool Wait(DWORD ms = kHangLimitMs) { return WaitForSingleObject(m_event, ms) == WAIT_OBJECT_0; }

private:
    HANDLE m_event;
};

// Runs `calls` once, on the first delivery only.
template <class Calls>
std::function<void()> OnFirstDelivery(Calls calls)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    return [done, calls] {
        if (!done->exchange(true)) calls();
    };
}

}  // namespace

TEST_CASE("CloneGroup racing the final release of its server makes no group that outlives the server")
{
    FakeDataCallback blocking;
    ServerWithGroup g({ItemDef(L"\\\\.\\mem\\reenter2", 1)}, FALSE, 20);
    Ref<IOPCGroupStateMgt> other;
    REQUIRE(AddGroup(g.server.Get(), L"Other", other).result == S_OK);
    blocking.blockDataChange = true;
    AdviseDataCallback(g.group.Get(), &blocking);
    SetActive(g.group.Get(), TRUE);
    REQUIRE(blocking.WaitForBlockedCall());

    // The last reference goes on another thread, whose release then waits for the blocked
    // delivery; meanwhile a client clones the other group.
    Ref<IOPCServer> server = std::move(g.server);
    Background release("the server's final release", [&] { server.Reset(); });
    Sleep(200);
    Background unblock("unblocking the callback", [&] {
        Sleep(300);
        blocking.Unblock();
    });
    Ref<IUnknown> clone;
    const HRESULT cloned = other->CloneGroup(L"Clone", IID_IOPCGroupStateMgt, clone.Put());
    unblock.Join();
    release.Join();

    CHECK((cloned == E_FAIL || cloned == S_OK));
    if (clone) CHECK(StateOf(As<IOPCGroupStateMgt>(clone.Get()).Get()).result == E_FAIL);
    CHECK(StateOf(other.Get()).result == E_FAIL);
    CHECK(StateOf(g.group.Get()).result == E_FAIL);
}

TEST_CASE("a data callback may call its server while another thread removes the callback's group")
{
    FakeDataCallback sink;
    ServerWithGroup g({ItemDef(L"\\\\.\\mem\\reenter4", 1)}, FALSE, 20);
    Gate entered, removing;
    std::atomic<HRESULT> status{E_UNEXPECTED}, added{E_UNEXPECTED}, cloned{E_UNEXPECTED}, removedAgain{E_UNEXPECTED};
    sink.onDataChange = OnFirstDelivery([&] {
        entered.Open();
        removing.Wait();
        Sleep(200);  // the removal is under way, waiting for this delivery
        status = StatusResult(g.server.Get());
        Ref<IOPCGroupStateMgt> extra;
        added = AddGroup(g.server.Get(), L"FromCallback", extra).result;
        Ref<IUnknown> clone;
        cloned = g.group->CloneGroup(L"CloneFromCallback", IID_IUnknown, clone.Put());
        removedAgain = g.server->RemoveGroup(g.groupHandle, FALSE);
    });
    AdviseDataCallback(g.group.Get(), &sink);
    SetActive(g.group.Get(), TRUE);
    REQUIRE(entered.Wait());

    std::atomic<HRESULT> removed{E_UNEXPECTED};
    {
        Background remove("RemoveGroup", [&] { removed = g.server->RemoveGroup(g.groupHandle, FALSE); });
        removing.Open();
    }
    CHECK(removed == OPC_S_INUSE);
    CHECK(status == S_OK);
    CHECK(added == S_OK);
    CHECK(cloned == E_FAIL);  // the group is removed already
    CHECK(removedAgain == E_INVALIDARG);
    CHECK(GroupCount(g.server.Get()) == 1);
}

TEST_CASE("a sink may remove its own group inside DAdvise's first refresh while a transaction of the group waits")
{
    FakeDataCallback completions, groupCallback;
    RecordingSink remover;
    ServerWithGroup g({ItemDef(L"\\\\.\\mem\\reenter6", 1)}, TRUE, 1000);
    Ref<IOPCGroupStateMgt> busy;
    REQUIRE(AddGroup(g.server.Get(), L"Busy", busy).result == S_OK);
    ItemResults silent;
    AddItems(As<IOPCItemMgt>(busy.Get()).Get(), {ItemDef(L"\\\\.\\proc1\\Silent", 1)}, silent);
    REQUIRE(silent.result == S_OK);
    AdviseDataCallback(busy.Get(), &completions);
    AdviseDataCallback(g.group.Get(), &groupCallback);

    // The asynchronous thread waits 3 s for the silent point; the group's own read queues
    // behind it, holding up the group's removal.
    DWORD cancelId = 0;
    Errors errors;
    REQUIRE(As<IOPCAsyncIO2>(busy.Get())->Read(1, &silent.records[0].hServer, 1, &cancelId, errors.Put()) == S_OK);
    OPCHANDLE item = g.Handle(0);
    REQUIRE(As<IOPCAsyncIO2>(g.group.Get())->Read(1, &item, 2, &cancelId, errors.Put()) == S_OK);

    std::atomic<HRESULT> removed{E_UNEXPECTED};
    remover.onDataChange = OnFirstDelivery([&] { removed = g.server->RemoveGroup(g.groupHandle, TRUE); });
    Ref<IDataObject> data = As<IDataObject>(g.group.Get());
    FORMATETC format = DataTimeFormat();
    DWORD connection = 0;
    std::atomic<HRESULT> advised{E_UNEXPECTED};
    Background("DAdvise", [&] { advised = data->DAdvise(&format, 0, &remover, &connection); });
    CHECK(advised == S_OK);
    CHECK(removed == S_OK);
    CHECK(StateOf(g.group.Get()).result == E_FAIL);
    // The queued read finds its group taken apart and completes to nobody.
    REQUIRE(completions.WaitForCalls(1, 10000));
    Sleep(200);
    CHECK(completions.Calls()[0].kind == 'R');
    for (const RecordedCall& call : groupCallback.Calls()) CHECK(call.kind == 'D');
}
