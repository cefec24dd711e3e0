// Soak: several client threads on two server instances do everything a client can, at
// once, while the network changes values at full speed. A watchdog fails the run on any
// call that does not return within its bound; at the end nothing may be left: no object,
// no task-allocator block, no thread.

#include "FakeAdviseSink.h"
#include "FakeDataCallback.h"
#include "MallocSpy.h"

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

using namespace twopc::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClientsPerServer = 2;
constexpr auto kHangBound = std::chrono::seconds(20);

int SoakSeconds()
{
    const char* configured = std::getenv("TWOPC_SOAK_SECONDS");
    return configured ? std::max(1, std::atoi(configured)) : 45;
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

const wchar_t* const kPoints[] = {
    L"\\\\.\\proc1\\Waveform.sine", L"\\\\.\\proc1\\Waveform.ramp", L"\\\\.\\proc1\\Waveform.toggle",
    L"\\\\.\\proc1\\Setpoint",      L"\\\\.\\proc1\\Label",         L"\\\\.\\proc1\\Running",
    L"\\\\.\\proc1\\Constant",      L"\\\\.\\proc2\\Pump.speed",    L"\\\\.\\mem\\soak",
};

struct ClientStats {
    std::atomic<long> operations{0};
    std::atomic<long long> longestMs{0};
    std::atomic<long long> busySince{0};  // steady-clock ms of the call in progress, 0 when idle
};

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// One client thread: a loop of random operations on groups of its own.
void RunClient(IOPCServer* server, unsigned seed, Clock::time_point deadline, ClientStats& stats,
               FakeDataCallback& sink, RecordingSink& adviseSink)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const CLIPFORMAT dataFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };

    while (Clock::now() < deadline) {
        Ref<IOPCGroupStateMgt> group;
        OPCHANDLE groupHandle = 0;
        DWORD revised = 0;
        LONG bias = 0;
        stats.busySince = NowMs();
        auto begin = Clock::now();
        if (FAILED(server->AddGroup(nullptr, pick(2), 10 + pick(200), 1, &bias, nullptr, 1033, &groupHandle, &revised,
                                    IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(group.Put()))))
            continue;
        Ref<IOPCItemMgt> items;
        Ref<IOPCSyncIO> sync;
        Ref<IOPCAsyncIO2> async;
        Ref<IDataObject> data;
        group->QueryInterface(IID_IOPCItemMgt, items.PutVoid());
        group->QueryInterface(IID_IOPCSyncIO, sync.PutVoid());
        group->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid());
        group->QueryInterface(IID_IDataObject, data.PutVoid());
        if (pick(2)) AdviseDataCallback(group.Get(), &sink);
        DWORD adviseConnection = 0;
        FORMATETC format{dataFormat, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        if (pick(3) == 0) data->DAdvise(&format, 0, &adviseSink, &adviseConnection);

        std::vector<OPCITEMDEF> definitions;
        for (int i = 0, n = 1 + pick(6); i < n; ++i) definitions.push_back(ItemDef(kPoints[pick(9)], i, VT_EMPTY, pick(4) != 0));
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        std::vector<OPCHANDLE> handles;
        if (SUCCEEDED(items->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results, &errors))) {
            for (std::size_t i = 0; i < definitions.size(); ++i)
                if (SUCCEEDED(errors[i])) handles.push_back(results[i].hServer);
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
        }
        ++stats.operations;

        for (int step = 0, steps = 3 + pick(8); step < steps && !handles.empty(); ++step) {
            DWORD count = static_cast<DWORD>(handles.size());
            switch (pick(7)) {
            case 0: {
                OPCITEMSTATE* states = nullptr;
                if (SUCCEEDED(sync->Read(pick(2) ? OPC_DS_CACHE : OPC_DS_DEVICE, count, handles.data(), &states,
                                         &errors))) {
                    for (DWORD i = 0; i < count; ++i) VariantClear(&states[i].vDataValue);
                    CoTaskMemFree(states);
                    CoTaskMemFree(errors);
                }
                break;
            }
            case 1: {
                std::vector<VARIANT> values(count);
                for (auto& value : values) {
                    VariantInit(&value);
                    value.vt = VT_R8;
                    value.dblVal = pick(1000);
                }
                if (SUCCEEDED(sync->Write(count, handles.data(), values.data(), &errors))) CoTaskMemFree(errors);
                break;
            }
            case 2: {
                DWORD cancelId = 0;
                if (SUCCEEDED(async->Read(count, handles.data(), 7, &cancelId, &errors))) {
                    CoTaskMemFree(errors);
                    if (pick(2)) async->Cancel2(cancelId);
                }
                break;
            }
            case 3: {
                DWORD cancelId = 0;
                async->Refresh2(OPC_DS_CACHE, 8, &cancelId);
                break;
            }
            case 4: {
                BOOL active = pick(2);
                DWORD rate = 10 + pick(100);
                group->SetState(&rate, &revised, &active, nullptr, nullptr, nullptr, nullptr);
                break;
            }
            case 5: {
                Ref<IOPCBrowseServerAddressSpace> browse;
                if (SUCCEEDED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid()))) {
                    Ref<IEnumString> names;
                    browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1");
                    if (SUCCEEDED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Put())) && names) {
                        LPOLESTR name = nullptr;
                        while (names->Next(1, &name, nullptr) == S_OK) CoTaskMemFree(name);
                    }
                }
                break;
            }
            default: {
                OPCHANDLE first = handles.front();
                if (SUCCEEDED(items->RemoveItems(1, &first, &errors))) CoTaskMemFree(errors);
                handles.erase(handles.begin());
                break;
            }
            }
            ++stats.operations;
        }
        if (adviseConnection) data->DUnadvise(adviseConnection);
        server->RemoveGroup(groupHandle, pick(2));
        ++stats.operations;
        long long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
        long long longest = stats.longestMs;
        while (took > longest && !stats.longestMs.compare_exchange_weak(longest, took)) {
        }
        stats.busySince = 0;
    }
    CoUninitialize();
}

}  // namespace

TEST_CASE("soak: two servers, many clients, everything at once, nothing left behind")
{
    // Warm up what stays for the life of the process (COM, the link, the address space).
    {
        Ref<IOPCServer> warm;
        CreateServerAs(warm);
    }
    REQUIRE(SimWaitForDeliveries(10000));
    const std::size_t threadsBefore = ThreadsOfThisProcess();

    MallocSpy spy;
    REQUIRE(spy.Registered());
    FakeDataCallback sink;
    RecordingSink adviseSink;
    std::vector<ClientStats> stats(2 * kClientsPerServer);
    {
        Ref<IOPCServer> servers[2];
        CreateServerAs(servers[0]);
        CreateServerAs(servers[1]);
        const auto deadline = Clock::now() + std::chrono::seconds(SoakSeconds());

        std::atomic<bool> stop{false};
        SimPauseClock();
        std::thread clock([&] {
            while (!stop) SimStepClock(1);
        });
        std::atomic<bool> hung{false};
        std::thread watchdog([&] {
            while (!stop) {
                Sleep(250);
                for (auto& client : stats) {
                    long long since = client.busySince;
                    if (since && NowMs() - since > std::chrono::milliseconds(kHangBound).count() + 60000) {
                        std::fputs("soak: a client call hangs\n", stdout);
                        std::fflush(stdout);
                        ExitProcess(3);  // a hang must fail the run, not stall it
                    }
                    if (since && NowMs() - since > std::chrono::milliseconds(kHangBound).count()) hung = true;
                }
            }
        });

        std::vector<std::thread> clients;
        for (int i = 0; i < 2 * kClientsPerServer; ++i)
            clients.emplace_back(RunClient, servers[i % 2].Get(), 1000u + i, deadline, std::ref(stats[i]),
                                 std::ref(sink), std::ref(adviseSink));
        for (auto& client : clients) client.join();
        stop = true;
        clock.join();
        watchdog.join();
        SimResumeClock();
        CHECK_FALSE(hung);
    }
    REQUIRE(SimWaitForDeliveries(10000));
    Sleep(200);  // the worker threads end when the last server goes

    long long longest = 0;
    for (std::size_t i = 0; i < stats.size(); ++i) {
        std::printf("soak: client %zu completed %ld operations\n", i, stats[i].operations.load());
        longest = std::max(longest, stats[i].longestMs.load());
        CHECK(stats[i].operations > 10);
    }
    std::printf("soak: longest group round %lld ms, data changes %zu, advise streams %zu, blocks leaked %zu\n",
                longest, sink.CallCount(), adviseSink.Count(), spy.LiveBlocks());
    INFO(spy.Describe());
    CHECK(spy.LiveBlocks() == 0);
    CHECK(ModuleCanUnloadNow() == S_OK);
    CHECK(sink.refs == 1);
    CHECK(adviseSink.refs == 1);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    CHECK(ThreadsOfThisProcess() <= threadsBefore);
}
