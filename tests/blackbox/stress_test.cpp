// Stress: a hostile concurrent client. Several threads share several server instances and
// their groups; they make random valid, racing and bad calls on every interface, while
// the callbacks call back in (state changes, status, removal of their own group, release
// of groups and servers, the last server among them). A watchdog ends the run with every
// thread's current call when any call stays out for more than 10 s. At the end nothing may
// be left: no task-allocator block, no object, no subscription.
//
// TWOPC_STRESS_SECONDS sets the length (30 s by default), TWOPC_STRESS_SEED the seed (the
// time by default); both are printed, so that a failing run can be repeated.

#include "FakeDataCallback.h"
#include "MallocSpy.h"

#include <olectl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace twopc::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kServers = 3;
constexpr int kClients = 4;
constexpr long long kHangMs = 10000;
constexpr std::size_t kSharedGroups = 48;

unsigned long EnvOr(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text ? std::strtoul(text, nullptr, 10) : fallback;
}

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// What each thread is doing, for the watchdog. Callbacks run on the server's threads, which
// register themselves on their first call.
struct ThreadSlot {
    DWORD threadId = 0;
    std::atomic<const char*> call{nullptr};
    std::atomic<long long> since{0};
};

class Activity {
public:
    ThreadSlot& Mine()
    {
        thread_local ThreadSlot* slot = nullptr;
        if (!slot) {
            std::lock_guard<std::mutex> hold(m_mutex);
            slot = &m_slots.emplace_back();
            slot->threadId = GetCurrentThreadId();
        }
        return *slot;
    }
    // The longest call in progress, when it has been out too long.
    const char* OutTooLong(long long& ms)
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        const char* longest = nullptr;
        ms = 0;
        for (const ThreadSlot& slot : m_slots) {
            const char* call = slot.call;
            const long long since = slot.since;
            if (call && since && NowMs() - since > ms) {
                ms = NowMs() - since;
                longest = call;
            }
        }
        return ms > kHangMs ? longest : nullptr;
    }
    // Every thread's call in progress.
    void Print()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        for (const ThreadSlot& slot : m_slots)
            if (const char* call = slot.call)
                std::printf("  thread %lu: %s for %lld ms\n", slot.threadId, call, NowMs() - slot.since);
    }

private:
    std::mutex m_mutex;
    std::deque<ThreadSlot> m_slots;
};

Activity g_activity;

// Marks the calling thread as inside `name` until the scope ends; nested calls (a callback
// calling in) show the innermost one.
class Busy {
public:
    explicit Busy(const char* name) : m_slot(g_activity.Mine()), m_outer(m_slot.call), m_outerSince(m_slot.since)
    {
        m_slot.since = NowMs();
        m_slot.call = name;
    }
    ~Busy()
    {
        m_slot.call = m_outer;
        m_slot.since = m_outerSince;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    ThreadSlot& m_slot;
    const char* m_outer;
    long long m_outerSince;
};

const wchar_t* const kPoints[] = {
    L"\\\\.\\proc1\\Waveform.sine", L"\\\\.\\proc1\\Waveform.ramp", L"\\\\.\\proc1\\Setpoint",
    L"\\\\.\\proc1\\Label",         L"\\\\.\\proc1\\Running",       L"\\\\.\\proc1\\Constant",
    L"\\\\.\\proc2\\Pump.speed",    L"\\\\.\\mem\\stress",          L"\\\\.\\proc1\\WriteOnly",
    L"no\\such\\item",
};

// The objects the threads share. Entries are copied out (a reference added) under the lock
// and used after it is let go; references are given up outside it too, since a release may
// be a server's final one.
struct Shared {
    struct Group {
        int server;
        OPCHANDLE handle;
        Ref<IUnknown> object;
    };

    std::mutex mutex;
    Ref<IOPCServer> servers[kServers];
    std::map<OPCHANDLE, Group> groups;  // by the client handle each group was given
    std::atomic<OPCHANDLE> nextClientHandle{1};

    Ref<IOPCServer> Server(int index)
    {
        std::lock_guard<std::mutex> hold(mutex);
        IOPCServer* server = servers[index].Get();
        if (server) server->AddRef();
        Ref<IOPCServer> copy;
        *copy.Put() = server;
        return copy;
    }
    bool GroupAt(std::size_t pick, Group& out)
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (groups.empty()) return false;
        auto it = std::next(groups.begin(), static_cast<long>(pick % groups.size()));
        out.server = it->second.server;
        out.handle = it->second.handle;
        it->second.object->AddRef();
        *out.object.Put() = it->second.object.Get();
        return true;
    }
    bool GroupByClientHandle(OPCHANDLE client, Group& out)
    {
        std::lock_guard<std::mutex> hold(mutex);
        auto it = groups.find(client);
        if (it == groups.end()) return false;
        out.server = it->second.server;
        out.handle = it->second.handle;
        it->second.object->AddRef();
        *out.object.Put() = it->second.object.Get();
        return true;
    }
    void Forget(OPCHANDLE client)
    {
        Ref<IUnknown> dropped;
        std::lock_guard<std::mutex> hold(mutex);
        auto it = groups.find(client);
        if (it == groups.end()) return;
        dropped = std::move(it->second.object);
        groups.erase(it);
    }
    void Forget(IUnknown* object)
    {
        Ref<IUnknown> dropped;
        std::lock_guard<std::mutex> hold(mutex);
        auto it = std::find_if(groups.begin(), groups.end(),
                               [object](const auto& entry) { return entry.second.object.Get() == object; });
        if (it == groups.end()) return;
        dropped = std::move(it->second.object);
        groups.erase(it);
    }
    void ReplaceServer(int index, Ref<IOPCServer> fresh)
    {
        Ref<IOPCServer> dropped;
        std::lock_guard<std::mutex> hold(mutex);
        dropped = std::move(servers[index]);
        servers[index] = std::move(fresh);
    }
    void DropAll()
    {
        std::map<OPCHANDLE, Group> droppedGroups;
        Ref<IOPCServer> droppedServers[kServers];
        std::lock_guard<std::mutex> hold(mutex);
        droppedGroups.swap(groups);
        for (int i = 0; i < kServers; ++i) droppedServers[i] = std::move(servers[i]);
    }
};

Shared g_shared;
std::atomic<long> g_operations{0};
std::atomic<long> g_callbacks{0};

// What a callback may do to the server that called it, chosen at random.
void CallBackIn(OPCHANDLE clientGroup, unsigned roll)
{
    ++g_callbacks;
    if (roll % 8 != 0) return;
    Shared::Group group;
    if (!g_shared.GroupByClientHandle(clientGroup, group)) return;
    Ref<IOPCServer> server = g_shared.Server(group.server);
    Busy busy("a call from inside a callback");
    switch (roll / 8 % 6) {
    case 0:
        if (server) StatusResult(server.Get());
        break;
    case 1: {
        Ref<IOPCGroupStateMgt> state;
        if (SUCCEEDED(group.object->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid()))) {
            BOOL active = roll & 0x100 ? TRUE : FALSE;
            DWORD revised;
            state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
        }
        break;
    }
    case 2:
        if (server) server->RemoveGroup(group.handle, roll & 0x100 ? TRUE : FALSE);
        break;
    case 3: g_shared.Forget(clientGroup); break;
    case 4: g_shared.ReplaceServer(group.server, Ref<IOPCServer>()); break;  // maybe the last reference
    default: {
        Ref<IOPCGroupStateMgt> state;
        Ref<IUnknown> clone;
        if (SUCCEEDED(group.object->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid())))
            state->CloneGroup(nullptr, IID_IUnknown, clone.Put());
        break;
    }
    }
}

class StressCallback : public StackObject<IOPCDataCallback> {
public:
    STDMETHODIMP OnDataChange(DWORD transid, OPCHANDLE group, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override
    {
        CallBackIn(group, static_cast<unsigned>(transid * 7919u + GetTickCount() * 31u + m_count++));
        return m_count % 50 == 0 ? E_FAIL : S_OK;  // now and then a failing client
    }
    STDMETHODIMP OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                FILETIME*, HRESULT*) override
    {
        CallBackIn(group, static_cast<unsigned>(transid + GetTickCount() + m_count++));
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        CallBackIn(group, static_cast<unsigned>(transid + m_count++));
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    std::atomic<unsigned> m_count{0};
};

class StressSink : public StackObject<IAdviseSink> {
public:
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override
    {
        // The stream starts with the group's client handle (OPCGROUPHEADER).
        OPCHANDLE group = 0;
        if (const auto* p = static_cast<const BYTE*>(GlobalLock(medium->hGlobal))) {
            if (GlobalSize(medium->hGlobal) >= 12) std::memcpy(&group, p + 8, sizeof group);
            GlobalUnlock(medium->hGlobal);
        }
        CallBackIn(group, static_cast<unsigned>(GetTickCount() + m_count++));
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    std::atomic<unsigned> m_count{0};
};

StressCallback g_callback;
StressSink g_sink;

void FreeResults(OPCITEMRESULT* results, HRESULT* errors, DWORD count)
{
    for (DWORD i = 0; results && i < count; ++i) CoTaskMemFree(results[i].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

// One random operation of a client thread.
void Operate(std::mt19937& random)
{
    auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    const int serverIndex = static_cast<int>(pick(kServers));
    Ref<IOPCServer> server = g_shared.Server(serverIndex);
    if (!server) {
        Busy busy("CoCreateInstance");
        g_shared.ReplaceServer(serverIndex, NewServer<IOPCServer>());
        return;
    }
    Shared::Group group;
    const bool haveGroup = g_shared.GroupAt(pick(1000), group);
    HRESULT* errors = nullptr;
    switch (pick(20)) {
    case 0:
    case 1: {
        Busy busy("AddGroup");
        const OPCHANDLE client = g_shared.nextClientHandle++;
        Ref<IUnknown> object;
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        LONG bias = 0;
        if (FAILED(server->AddGroup(nullptr, pick(2), 10 + pick(300), client, &bias, nullptr, 1033, &handle, &revised,
                                    IID_IUnknown, object.Put())))
            break;
        Ref<IOPCItemMgt> items;
        object->QueryInterface(IID_IOPCItemMgt, items.PutVoid());
        OPCITEMDEF definitions[3];
        for (auto& definition : definitions) definition = ItemDef(kPoints[pick(10)], pick(100), VT_EMPTY, pick(4) != 0);
        OPCITEMRESULT* results = nullptr;
        const DWORD itemCount = 1 + pick(3);
        if (SUCCEEDED(items->AddItems(itemCount, definitions, &results, &errors))) FreeResults(results, errors, itemCount);
        if (pick(2)) AdviseDataCallback(object.Get(), &g_callback);
        if (pick(3) == 0) {
            Ref<IDataObject> data;
            object->QueryInterface(IID_IDataObject, data.PutVoid());
            FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME")), nullptr,
                             DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            DWORD connection = 0;
            data->DAdvise(&format, 0, &g_sink, &connection);
        }
        std::size_t shared;
        {
            std::lock_guard<std::mutex> hold(g_shared.mutex);
            g_shared.groups[client] = Shared::Group{serverIndex, handle, std::move(object)};
            shared = g_shared.groups.size();
        }
        // Bounded, so that the memory figures show the server's growth, not the pool's.
        if (shared > kSharedGroups) {
            Shared::Group victim;
            if (g_shared.GroupAt(pick(1000), victim)) g_shared.Forget(victim.object.Get());
        }
        break;
    }
    case 2: {
        if (!haveGroup) break;
        Busy busy("RemoveGroup");
        Ref<IOPCServer> owner = g_shared.Server(group.server);
        if (owner) owner->RemoveGroup(group.handle, pick(2));
        break;
    }
    case 3: {
        Busy busy("a group's last client reference");
        if (haveGroup) g_shared.Forget(group.object.Get());
        break;
    }
    case 4: {
        Busy busy("a server's release");
        if (pick(4) == 0) g_shared.ReplaceServer(serverIndex, Ref<IOPCServer>());
        break;
    }
    case 5: {
        Busy busy("GetStatus");
        StatusResult(server.Get());
        break;
    }
    case 6: {
        Busy busy("browsing");
        Ref<IOPCBrowseServerAddressSpace> browse;
        if (SUCCEEDED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid()))) {
            browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1");
            Ref<IEnumString> names;
            if (SUCCEEDED(browse->BrowseOPCItemIDs(OPC_FLAT, pick(2) ? L"*a*e*" : L"", VT_EMPTY, 0, names.Put())) &&
                names) {
                LPOLESTR name = nullptr;
                while (names->Next(1, &name, nullptr) == S_OK) CoTaskMemFree(name);
            }
        }
        break;
    }
    case 7: {
        Busy busy("GetGroupByName and CreateGroupEnumerator");
        Ref<IUnknown> found;
        server->GetGroupByName(L"$Group_1$", IID_IUnknown, found.Put());
        Ref<IEnumUnknown> all;
        if (SUCCEEDED(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(all.Put()))) && all) {
            IUnknown* next = nullptr;
            while (all->Next(1, &next, nullptr) == S_OK) next->Release();
        }
        break;
    }
    case 8: {
        Busy busy("bad input");
        OPCHANDLE handle = 0xFFFFFFFF;
        server->RemoveGroup(0, TRUE);
        server->AddGroup(L"", TRUE, 10, 0, nullptr, nullptr, 0, nullptr, nullptr, IID_IUnknown, nullptr);
        if (haveGroup) {
            Ref<IOPCItemMgt> items;
            if (SUCCEEDED(group.object->QueryInterface(IID_IOPCItemMgt, items.PutVoid()))) {
                if (SUCCEEDED(items->RemoveItems(0xFFFFFFFF, &handle, &errors))) CoTaskMemFree(errors);
                if (SUCCEEDED(items->RemoveItems(1, &handle, &errors))) CoTaskMemFree(errors);
            }
        }
        break;
    }
    default: {
        if (!haveGroup) break;
        Ref<IOPCItemMgt> items;
        Ref<IOPCGroupStateMgt> state;
        if (FAILED(group.object->QueryInterface(IID_IOPCItemMgt, items.PutVoid())) ||
            FAILED(group.object->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid())))
            break;
        // The group's items, as its enumerator gives them.
        std::vector<OPCHANDLE> handles;
        {
            Busy busy("the item enumerator");
            Ref<IEnumOPCItemAttributes> enumerator;
            if (items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(enumerator.Put())) ==
                    S_OK &&
                enumerator) {
                OPCITEMATTRIBUTES* attributes = nullptr;
                ULONG fetched = 0;
                if (SUCCEEDED(enumerator->Next(8, &attributes, &fetched))) {
                    for (ULONG i = 0; i < fetched; ++i) {
                        handles.push_back(attributes[i].hServer);
                        CoTaskMemFree(attributes[i].szItemID);
                        CoTaskMemFree(attributes[i].szAccessPath);
                        CoTaskMemFree(attributes[i].pBlob);
                        VariantClear(&attributes[i].vEUInfo);
                    }
                    CoTaskMemFree(attributes);
                }
            }
        }
        if (handles.empty()) handles.push_back(0xFFFF0000);
        const DWORD count = static_cast<DWORD>(handles.size());
        switch (pick(8)) {
        case 0: {
            Busy busy("IOPCSyncIO::Read");
            Ref<IOPCSyncIO> sync;
            OPCITEMSTATE* states = nullptr;
            if (SUCCEEDED(group.object->QueryInterface(IID_IOPCSyncIO, sync.PutVoid())) &&
                SUCCEEDED(sync->Read(pick(2) ? OPC_DS_CACHE : OPC_DS_DEVICE, count, handles.data(), &states, &errors))) {
                for (DWORD i = 0; i < count; ++i) VariantClear(&states[i].vDataValue);
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
            }
            break;
        }
        case 1: {
            Busy busy("IOPCSyncIO::Write");
            Ref<IOPCSyncIO> sync;
            std::vector<VARIANT> values(count, DoubleVariant(pick(1000)));
            if (SUCCEEDED(group.object->QueryInterface(IID_IOPCSyncIO, sync.PutVoid())) &&
                SUCCEEDED(sync->Write(count, handles.data(), values.data(), &errors)))
                CoTaskMemFree(errors);
            break;
        }
        case 2: {
            Busy busy("IOPCAsyncIO2");
            Ref<IOPCAsyncIO2> async;
            DWORD cancelId = 0;
            if (FAILED(group.object->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid()))) break;
            if (SUCCEEDED(async->Read(count, handles.data(), pick(100), &cancelId, &errors))) {
                CoTaskMemFree(errors);
                if (pick(2)) async->Cancel2(cancelId);
            }
            async->Refresh2(OPC_DS_CACHE, pick(100), &cancelId);
            break;
        }
        case 3: {
            Busy busy("IOPCAsyncIO");
            Ref<IOPCAsyncIO> async;
            DWORD transaction = 0;
            if (SUCCEEDED(group.object->QueryInterface(IID_IOPCAsyncIO, async.PutVoid())))
                async->Refresh(pick(1000), OPC_DS_CACHE, &transaction);
            break;
        }
        case 4: {
            Busy busy("SetState");
            BOOL active = pick(2);
            DWORD rate = 10 + pick(200), revised;
            state->SetState(&rate, &revised, &active, nullptr, nullptr, nullptr, nullptr);
            break;
        }
        case 5: {
            Busy busy("SetName and CloneGroup");
            state->SetName(pick(2) ? L"Shared name" : nullptr);
            Ref<IUnknown> clone;
            state->CloneGroup(nullptr, IID_IUnknown, clone.Put());
            break;
        }
        case 6: {
            Busy busy("RemoveItems and SetActiveState");
            if (SUCCEEDED(items->SetActiveState(count, handles.data(), pick(2), &errors))) CoTaskMemFree(errors);
            if (SUCCEEDED(items->RemoveItems(1, handles.data(), &errors))) CoTaskMemFree(errors);
            break;
        }
        default: {
            Busy busy("connection points");
            Ref<IConnectionPointContainer> container;
            Ref<IConnectionPoint> point;
            if (SUCCEEDED(group.object->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) &&
                SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()))) {
                DWORD cookie = 0;
                if (point->Advise(&g_callback, &cookie) == CONNECT_E_ADVISELIMIT || pick(2)) point->Unadvise(1);
            }
            break;
        }
        }
        break;
    }
    }
    ++g_operations;
}

std::size_t ThreadsOfThisProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    std::size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

SIZE_T WorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

}  // namespace

TEST_CASE("stress: hostile concurrent clients on shared servers, nothing hangs and nothing is left")
{
    const unsigned long seconds = EnvOr("TWOPC_STRESS_SECONDS", 30);
    const unsigned long seed = EnvOr("TWOPC_STRESS_SEED", static_cast<unsigned long>(time(nullptr)));
    std::printf("stress: seed %lu, %lu s\n", seed, seconds);
    std::fflush(stdout);

    // Warm up what stays for the life of the process (COM, the link, the address space),
    // and give the memory point a value: a read of a point without a first value waits for
    // one, holding its group, and such waits add up behind the one asynchronous thread.
    {
        ServerWithGroup warm({ItemDef(L"\\\\.\\mem\\stress", 1)}, FALSE);
        SetPoint(L"mem\\stress", 0.0);
    }
    REQUIRE(SimWaitForDeliveries(10000));
    const SIZE_T memoryBefore = WorkingSet();
    const std::size_t threadsBefore = ThreadsOfThisProcess();

    MallocSpy spy;
    REQUIRE(spy.Registered());
    // GetStatus beside what it is made of without the server lock (a QueryInterface, and
    // the two task-allocator blocks it hands out): where the worst cases differ, the
    // difference is the wait for the server lock.
    std::vector<double> statusMs, queryMs, allocationMs;
    std::vector<SIZE_T> workingSets;
    {
        std::atomic<bool> stop{false};
        std::thread watchdog([&] {
            while (!stop) {
                Sleep(250);
                long long ms = 0;
                if (const char* call = g_activity.OutTooLong(ms)) {
                    std::printf("stress: %s has been out for %lld ms (seed %lu); every thread:\n", call, ms, seed);
                    g_activity.Print();
                    std::fflush(stdout);
                    TerminateProcess(GetCurrentProcess(), 3);  // a hung server cannot be unwound
                }
            }
        });
        SimPauseClock();
        std::thread clock([&] {
            while (!stop) {
                SimStepClock(1);
                Sleep(1);
            }
        });
        // GetStatus at a steady pace on whichever server exists: its latency is what every
        // client sees while the others do their worst.
        std::thread status([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            std::mt19937 random(seed);
            auto since = [](Clock::time_point begin) {
                return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
            };
            auto nextSample = Clock::now();
            while (!stop) {
                Ref<IOPCServer> server = g_shared.Server(static_cast<int>(random() % kServers));
                if (server) {
                    Busy busy("GetStatus (latency probe)");
                    auto begin = Clock::now();
                    StatusResult(server.Get());
                    statusMs.push_back(since(begin));
                    begin = Clock::now();
                    Ref<IOPCCommon> common;
                    server->QueryInterface(IID_IOPCCommon, common.PutVoid());
                    queryMs.push_back(since(begin));
                    begin = Clock::now();
                    CoTaskMemFree(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
                    CoTaskMemFree(CoTaskMemAlloc(14));
                    allocationMs.push_back(since(begin));
                }
                server.Reset();
                if (Clock::now() >= nextSample) {
                    workingSets.push_back(WorkingSet());
                    nextSample += std::chrono::seconds(10);
                }
                Sleep(5);
            }
            CoUninitialize();
        });

        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back([&, i] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                std::mt19937 random(static_cast<unsigned>(seed) * 31u + static_cast<unsigned>(i));
                while (Clock::now() < deadline) Operate(random);
                CoUninitialize();
            });
        for (auto& client : clients) client.join();
        {
            Busy busy("the last releases");
            g_shared.DropAll();
            REQUIRE(SimWaitForDeliveries(10000));
        }
        stop = true;
        status.join();
        clock.join();
        watchdog.join();
        SimResumeClock();
    }
    REQUIRE(SimWaitForDeliveries(10000));
    Sleep(200);  // the worker threads end when the last server goes

    auto worstAndP99 = [](std::vector<double>& ms) {
        std::sort(ms.begin(), ms.end());
        return ms.empty() ? std::pair(0.0, 0.0) : std::pair(ms.back(), ms[ms.size() * 99 / 100]);
    };
    const auto [statusWorst, statusP99] = worstAndP99(statusMs);
    const auto [queryWorst, queryP99] = worstAndP99(queryMs);
    const auto [allocationWorst, allocationP99] = worstAndP99(allocationMs);
    std::printf("stress: %ld operations, %ld callbacks; blocks left %zu; worst and p99 in ms of %zu GetStatus "
                "%.2f %.3f, QueryInterface %.2f %.3f, two allocations %.2f %.3f\n",
                g_operations.load(), g_callbacks.load(), spy.LiveBlocks(), statusMs.size(), statusWorst, statusP99,
                queryWorst, queryP99, allocationWorst, allocationP99);
    std::printf("stress: working set %zu KB after warm-up, every 10 s:", memoryBefore / 1024);
    for (SIZE_T bytes : workingSets) std::printf(" %zu", bytes / 1024);
    std::printf(", %zu KB at the end\n", WorkingSet() / 1024);
    INFO(spy.Describe());
    CHECK(g_operations > 1000);
    CHECK(spy.LiveBlocks() == 0);
    CHECK(ModuleCanUnloadNow() == S_OK);
    CHECK(g_callback.refs == 1);
    CHECK(g_sink.refs == 1);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    CHECK(ThreadsOfThisProcess() <= threadsBefore);  // the worker threads end with the last server
}
