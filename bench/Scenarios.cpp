#include "Scenarios.h"

#include "DataSink.h"
#include "Measure.h"
#include "OpcClient.h"

#include "orv/com/Owners.h"

#include <sim/kelvane.h>
#include <sim/simctl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

constexpr std::size_t kItemsPerGroup = 1000;
constexpr DWORD kSettleTimeoutMs = 300'000;
constexpr auto kProgressInterval = std::chrono::seconds(10);
constexpr std::size_t kWarmUpItems = 100;

// Memory points live on in the simulator after their items are gone: each run names its own.
unsigned g_memoryRuns = 0;

void SleepSeconds(double seconds)
{
    Sleep(static_cast<DWORD>(seconds * 1000.0));
}

bool LocalServerRunning()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool running = false;
    const std::string name = kLocalServerExecutable;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running; more = Process32NextW(snapshot, &entry))
        running = _wcsicmp(entry.szExeFile, std::wstring(name.begin(), name.end()).c_str()) == 0;
    CloseHandle(snapshot);
    return running;
}

// The bench points of the simulator that the server uses. The local server host cannot be
// reached through the control API: it starts with the points its environment asks for,
// which is the environment of the client that makes COM start it.
void StartBench(std::size_t points, UINT options = 0)
{
    if (!UsesLocalServer()) {
        Check(SimStartBench(static_cast<UINT>(points), options), "SimStartBench");
        return;
    }
    const Stopwatch waiting;
    while (LocalServerRunning()) {
        if (waiting.Seconds() > 60) throw std::runtime_error("the local server host from the last run did not end");
        Sleep(100);
    }
    SetEnvironmentVariableW(L"TWOPC_SIM_BENCH_POINTS", std::to_wstring(points).c_str());
}

void WaitForSimulator()
{
    if (UsesLocalServer()) return;  // the simulator is in the host; items wait for their first values
    if (!SimWaitForDeliveries(kSettleTimeoutMs)) throw std::runtime_error("the simulator did not settle");
}

SimDeliveryStats DeliveryStats()
{
    SimDeliveryStats stats{};
    SimGetDeliveryStats(&stats);
    return stats;
}

// Growth from `before` to `after`, in bytes per item; negative when memory was given back.
double BytesEach(std::uint64_t before, std::uint64_t after, std::size_t items)
{
    return (static_cast<double>(after) - static_cast<double>(before)) / static_cast<double>(items);
}

// While a long call runs, says every kProgressInterval how many of its items the simulator
// has subscriptions for: enough to tell a slow call from a hung one, and to see whether
// the time goes before the subscriptions or between them.
class Progress {
public:
    Progress(const char* what, std::size_t items)
        : what_(what), items_(items), subscribedBefore_(SimLiveSubscriptions(nullptr)), thread_([this] { Run(); })
    {
    }
    ~Progress()
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        finishing_.notify_one();
        thread_.join();
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    void Run()
    {
        std::unique_lock lock(mutex_);
        const Stopwatch running;
        while (!finishing_.wait_for(lock, kProgressInterval, [this] { return finished_; })) {
            const LONG subscribed = SimLiveSubscriptions(nullptr) - subscribedBefore_;
            std::printf("    %s: %.0f s, %ld of %zu items subscribed\n", what_, running.Seconds(),
                        static_cast<long>(subscribed), items_);
            std::fflush(stdout);
        }
    }

    const char* what_;
    std::size_t items_;
    LONG subscribedBefore_;
    std::mutex mutex_;
    std::condition_variable finishing_;
    bool finished_ = false;
    std::thread thread_;  // last: it starts once everything it reads is set
};

// A realtime receiver that does no more than a client must: take the value.
class CountingReceiver final : public kelvane::IKelvaneRealTimeReceiver {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    HRESULT STDMETHODCALLTYPE OnValue(void*, std::uint32_t, const kelvane::Value* value, std::uint32_t,
                                      std::uint64_t) override
    {
        // One writer, the delivery thread: a plain increment, published for the reader.
        values.store(values.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        last = value->payload.real;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPointInfo(void*, const kelvane::PointInfo*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPointStatus(void*, std::uint32_t) override { return S_OK; }

    std::atomic<ULONG> references{1};
    std::atomic<std::uint64_t> values{0};
    double last = 0;
};

kelvane::NewKelvaneRealTimeFn RealTimeFactory()
{
    // Loaded as the server loads it, and left loaded.
    const HMODULE library = LoadLibraryW(L"twrealt.dll");
    if (!library) throw std::runtime_error("twrealt.dll cannot be loaded");
    const auto factory = reinterpret_cast<kelvane::NewKelvaneRealTimeFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "NewKelvaneRealTime")));
    if (!factory) throw std::runtime_error("twrealt.dll has no NewKelvaneRealTime");
    return factory;
}

std::wstring HostName()
{
    orv::com::UniqueBstr name;
    Check(GetHostMachineName(name.Put()), "GetHostMachineName");
    return std::wstring(name.Get(), SysStringLen(name.Get()));
}

// Bench points subscribed straight through the realtime link, as the server would, until
// destruction. The receiver must outlive it.
class DirectSubscriber {
public:
    explicit DirectSubscriber(kelvane::IKelvaneRealTimeReceiver& receiver)
    {
        if (!RealTimeFactory()(nullptr, &receiver, link_.Put())) throw std::runtime_error("NewKelvaneRealTime failed");
    }

    void SubscribeBenchPoints(std::size_t count)
    {
        const std::wstring prefix = L"\\\\" + HostName() + L"\\bench\\p";
        const kelvane::SubscriptionRequest request{13, 7, 0, 0};
        points_.reserve(points_.size() + count);
        for (std::size_t i = 0; i < count; ++i) {
            ComPtr<kelvane::IKelvanePoint> point;
            Check(link_->Subscribe((prefix + std::to_wstring(i)).c_str(), nullptr, &request, point.Put()), "Subscribe");
            points_.push_back(std::move(point));
        }
    }

private:
    ComPtr<kelvane::IKelvaneRealTime> link_;
    std::vector<ComPtr<kelvane::IKelvanePoint>> points_;  // released before the link
};

}  // namespace

FloorResult MeasureFloor(std::size_t points, const Settings& settings)
{
    StartBench(points);
    CountingReceiver receiver;
    DirectSubscriber subscriber(receiver);
    FloorResult result;
    result.points = points;
    const Stopwatch subscribing;
    subscriber.SubscribeBenchPoints(points);
    WaitForSimulator();
    result.subscribeUsPerPoint = subscribing.Seconds() * 1e6 / static_cast<double>(points);
    SleepSeconds(settings.warmup);

    const SimDeliveryStats before = DeliveryStats();
    const std::uint64_t processBefore = ProcessCpuTime();
    const Stopwatch window;
    SleepSeconds(settings.seconds);
    const SimDeliveryStats after = DeliveryStats();
    const std::uint64_t processAfter = ProcessCpuTime();
    result.seconds = window.Seconds();

    result.ticks = after.ticks - before.ticks;
    result.reports = after.benchReports - before.benchReports;
    result.reportsPerSecond = static_cast<double>(result.reports) / result.seconds;
    result.processNsPerReport = NanosecondsEach(processAfter - processBefore, result.reports);
    result.busyNsPerReport = NanosecondsEach(after.deliveryBusyTime - before.deliveryBusyTime, result.reports);
    result.threadCpuNsPerReport = NanosecondsEach(after.deliveryCpuTime - before.deliveryCpuTime, result.reports);
    result.callbackWallNsPerReport = NanosecondsEach(after.benchCallbackTime - before.benchCallbackTime, result.reports);
    return result;
}

UpdateResult MeasureUpdates(std::size_t items, unsigned rateMs, const FloorResult& floor, const Settings& settings)
{
    StartBench(items);
    UpdateResult result;
    result.items = items;
    result.rateMs = rateMs;
    result.groups = (items + kItemsPerGroup - 1) / kItemsPerGroup;
    DataSink sink(items, result.groups);
    {
        OpcClient client;
        // The server's items live in the host there: this process's memory says nothing of them.
        const bool measureMemory = !UsesLocalServer();
        const MemoryUse memoryBefore = measureMemory ? ProcessMemory() : MemoryUse{};
        const Stopwatch adding;
        for (std::size_t group = 0; group < result.groups; ++group) {
            OpcGroup& made = client.AddGroup(static_cast<OPCHANDLE>(group + 1), TRUE, rateMs);
            made.Advise(&sink);
            const std::size_t first = group * kItemsPerGroup;
            made.AddBenchItems(first, std::min(kItemsPerGroup, items - first));
        }
        result.addItemsSeconds = adding.Seconds();

        // Every item reported once, then steady running.
        const Stopwatch settling;
        while (sink.Snapshot().itemsSeenOnce < items) {
            if (settling.Seconds() > kSettleTimeoutMs / 1000.0) throw std::runtime_error("items never reported");
            Sleep(50);
        }
        if (measureMemory) {
            const MemoryUse memoryAfter = ProcessMemory();
            result.heapBytesPerItem = BytesEach(memoryBefore.heapBytes, memoryAfter.heapBytes, items);
            result.privateBytesPerItem = BytesEach(memoryBefore.privateBytes, memoryAfter.privateBytes, items);
            result.workingSetBytesPerItem = BytesEach(memoryBefore.workingSet, memoryAfter.workingSet, items);
        } else {
            result.heapBytesPerItem = result.privateBytesPerItem = result.workingSetBytesPerItem = std::nan("");
        }
        SleepSeconds(settings.warmup);

        const DataSink::Counts sinkBefore = sink.Snapshot();
        const SimDeliveryStats simBefore = DeliveryStats();
        const std::uint64_t processBefore = ProcessCpuTime();
        const std::uint64_t hostBefore = UsesLocalServer() ? OtherProcessCpuTime(kLocalServerExecutable) : 0;
        const std::uint64_t scanBefore = ThreadCpuTime(sinkBefore.thread);
        const Stopwatch window;
        sink.OpenWindow();
        std::printf("  measuring for %.1f s\n", settings.seconds);
        std::fflush(stdout);
        // Marks for traces (WINEDEBUG=+server,+debugstr) and debuggers.
        OutputDebugStringA("twopc-bench: window opens\n");
        SleepSeconds(settings.seconds);
        OutputDebugStringA("twopc-bench: window closes\n");
        sink.CloseWindow();
        const DataSink::Counts sinkAfter = sink.Snapshot();
        const SimDeliveryStats simAfter = DeliveryStats();
        const std::uint64_t processAfter = ProcessCpuTime();
        const std::uint64_t hostAfter = UsesLocalServer() ? OtherProcessCpuTime(kLocalServerExecutable) : 0;
        const std::uint64_t scanAfter = ThreadCpuTime(sinkBefore.thread);
        result.seconds = window.Seconds();

        result.ticks = simAfter.ticks - simBefore.ticks;
        result.offered = items * result.ticks;
        result.produced = simAfter.benchReports - simBefore.benchReports;
        result.delivered = sinkAfter.items - sinkBefore.items;
        result.callbacks = sinkAfter.callbacks - sinkBefore.callbacks;
        result.skippedTicks = sinkAfter.skippedTicks - sinkBefore.skippedTicks;
        result.notGood = sinkAfter.notGood - sinkBefore.notGood;
        result.offeredPerSecond = static_cast<double>(result.offered) / result.seconds;
        result.deliveredPerSecond = static_cast<double>(result.delivered) / result.seconds;

        const std::uint64_t process = processAfter - processBefore;
        const std::uint64_t deliveryBusy = simAfter.deliveryBusyTime - simBefore.deliveryBusyTime;
        const std::uint64_t deliveryCpu = simAfter.deliveryCpuTime - simBefore.deliveryCpuTime;
        const std::uint64_t scan = scanAfter - scanBefore;
        result.processCores = static_cast<double>(process) / 1e7 / result.seconds;
        result.processNs = NanosecondsEach(process, result.delivered);
        result.floorNs = floor.processNsPerReport;
        const double floorShare = floor.processNsPerReport * static_cast<double>(result.produced);  // ns
        result.serverNs =
            result.delivered == 0 ? 0.0 : (static_cast<double>(process) * 100.0 - floorShare) / result.delivered;
        result.deliveryBusyNs = NanosecondsEach(deliveryBusy, result.produced);
        result.deliveryThreadNs = NanosecondsEach(deliveryCpu, result.produced);
        result.realtimeCallbackNs = result.deliveryThreadNs - floor.threadCpuNsPerReport;
        result.callbackWallNs = NanosecondsEach(simAfter.benchCallbackTime - simBefore.benchCallbackTime, result.produced);
        result.scanThreadNs = NanosecondsEach(scan, result.delivered);
        result.otherThreadsNs = NanosecondsEach(process - std::min(process, deliveryCpu + scan), result.delivered);
        result.scanIntervalMeanMs = sinkAfter.intervals ? sinkAfter.intervalSumMs / sinkAfter.intervals : 0.0;
        result.scanIntervalMinMs = sinkAfter.intervalMinMs;
        result.scanIntervalMaxMs = sinkAfter.intervalMaxMs;
        if (UsesLocalServer()) {
            // The server and the simulator run in the host: this process is the client alone.
            result.localServer = true;
            result.hostNs = NanosecondsEach(hostAfter - hostBefore, result.delivered);
            result.hostCores = static_cast<double>(hostAfter - hostBefore) / 1e7 / result.seconds;
            result.offered = result.delivered + result.skippedTicks;
            result.offeredPerSecond = static_cast<double>(result.offered) / result.seconds;
            result.serverNs = 0;
        }
    }
    // A client's stubs may outlive its last proxy in the host for a moment: cut them.
    if (UsesLocalServer()) CoDisconnectObject(&sink, 0);
    if (sink.refs != 1) throw std::runtime_error("the server kept a reference to the data callback");
    return result;
}

CacheReadResult MeasureCacheReads(std::size_t itemsPerCall, const Settings& settings)
{
    StartBench(itemsPerCall);
    OpcClient client;
    OpcGroup& group = client.AddGroup(1, TRUE, kSourcePeriodMs);
    group.AddBenchItems(0, itemsPerCall);
    WaitForSimulator();
    SleepSeconds(1.0);  // a few scans: the group runs as it would for a client

    CacheReadResult result;
    result.itemsPerCall = itemsPerCall;
    const std::uint64_t processBefore = ProcessCpuTime();
    const Stopwatch window;
    std::uint64_t good = 0;
    do {
        good += group.ReadAll(OPC_DS_CACHE);
        ++result.calls;
    } while (window.Seconds() < settings.seconds);
    result.seconds = window.Seconds();
    const std::uint64_t process = ProcessCpuTime() - processBefore;

    const double itemsRead = static_cast<double>(result.calls) * static_cast<double>(itemsPerCall);
    result.callsPerSecond = static_cast<double>(result.calls) / result.seconds;
    result.wallUsPerItem = result.seconds * 1e6 / itemsRead;
    result.cpuUsPerItem = static_cast<double>(process) / 10.0 / itemsRead;
    result.badItems = result.calls * itemsPerCall - good;
    return result;
}

const char* ItemIdsName(ItemIds ids) noexcept
{
    switch (ids) {
    case ItemIds::Bench:
        return "bench";
    case ItemIds::ListedBench:
        return "listed";
    case ItemIds::Memory:
        return "mem";
    }
    return "?";
}

void WarmUpAddItems()
{
    // What the first items of a process pay once (the link, the host name, the first look-ups)
    // is no part of the cost per item.
    StartBench(kWarmUpItems);
    SimStopBench();
    OpcClient client;
    client.AddGroup(1, FALSE, kSourcePeriodMs).AddBenchItems(0, kWarmUpItems);
    WaitForSimulator();
}

AddItemsResult MeasureAddItems(ItemIds ids, std::size_t items)
{
    std::vector<std::wstring> itemIds;
    itemIds.reserve(items);
    if (ids == ItemIds::Memory) {
        // The simulator forgets the bench and the memory points that nobody subscribes, so the
        // mem branch starts empty; the names are new as well, in case a point outlived its item.
        SimReset();
        const std::wstring prefix = L"\\\\.\\mem\\X" + std::to_wstring(++g_memoryRuns) + L"_";
        for (std::size_t i = 0; i < items; ++i) itemIds.push_back(prefix + std::to_wstring(i));
    } else {
        // Unchanging points: item creation is measured without the load of updates. Starting
        // the bench with another number of points makes them anew.
        StartBench(items, ids == ItemIds::ListedBench ? SIM_BENCH_LISTED : 0);
        SimStopBench();
        for (std::size_t i = 0; i < items; ++i) itemIds.push_back(BenchItemId(i));
    }
    AddItemsResult result;
    result.ids = ids;
    result.items = items;
    result.firstItemId = itemIds.front();
    {
        OpcClient client;
        OpcGroup& group = client.AddGroup(1, FALSE, kSourcePeriodMs);
        const MemoryUse memoryBefore = ProcessMemory();
        // Started and ended outside the timed call: a thread's start costs milliseconds under Wine.
        std::optional<Progress> progress;
        progress.emplace("AddItems", items);
        const std::uint64_t processBefore = ProcessCpuTime();
        const Stopwatch adding;
        group.AddItems(itemIds, 0, TRUE);
        result.seconds = adding.Seconds();
        const std::uint64_t processAfter = ProcessCpuTime();
        progress.reset();
        result.cpuSeconds = static_cast<double>(processAfter - processBefore) / 1e7;
        result.usPerItem = result.seconds * 1e6 / static_cast<double>(items);

        const Stopwatch settling;
        WaitForSimulator();
        result.settleSeconds = settling.Seconds();
        result.heapBytesPerItem = BytesEach(memoryBefore.heapBytes, ProcessMemory().heapBytes, items);
        const Stopwatch removing;
        client.RemoveGroups();
        result.removeSeconds = removing.Seconds();
    }
    // Later measurements (a flat listing above all) would meet these points otherwise.
    if (ids == ItemIds::Memory) SimReset();
    return result;
}

LookupResult MeasureLookup(std::size_t benchPoints, bool listed, std::size_t items)
{
    StartBench(benchPoints, listed ? SIM_BENCH_LISTED : 0);
    SimStopBench();
    LookupResult result;
    result.benchPoints = benchPoints;
    result.listed = listed;
    result.items = items;
    {
        OpcClient client;
        OpcGroup& group = client.AddGroup(1, FALSE, kSourcePeriodMs);
        const Stopwatch adding;
        group.AddBenchItems(0, items);
        result.seconds = adding.Seconds();
    }
    result.usPerItem = result.seconds * 1e6 / static_cast<double>(items);
    StartBench(benchPoints, 0);
    return result;
}

Read2Result MeasureRead2(std::size_t itemsPerRequest, const Settings& settings)
{
    StartBench(itemsPerRequest);
    Read2Result result;
    result.itemsPerRequest = itemsPerRequest;
    DataSink sink(itemsPerRequest, 1);
    {
        OpcClient client;
        OpcGroup& group = client.AddGroup(1, FALSE, kSourcePeriodMs);
        group.AddBenchItems(0, itemsPerRequest, FALSE);
        group.Advise(&sink);
        WaitForSimulator();
        const Stopwatch window;
        do {
            const std::uint64_t before = sink.ReadCompletes();
            group.Read2All(static_cast<DWORD>(result.roundTrips + 1));
            while (sink.ReadCompletes() == before) Sleep(0);
            ++result.roundTrips;
        } while (window.Seconds() < settings.seconds);
        result.seconds = window.Seconds();
    }
    if (UsesLocalServer()) CoDisconnectObject(&sink, 0);
    result.localServer = UsesLocalServer();
    result.roundTripsPerSecond = static_cast<double>(result.roundTrips) / result.seconds;
    result.usPerRoundTrip = result.seconds * 1e6 / static_cast<double>(result.roundTrips);
    return result;
}

BrowseFlatResult MeasureBrowseFlat(const Settings& settings)
{
    StartBench(1);
    SimStopBench();
    OpcClient client;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    Check(ComPtr<IOPCServer>(client.Server()).As(browse), "QueryInterface(IOPCBrowseServerAddressSpace)");
    Check(browse->ChangeBrowsePosition(OPC_BROWSE_TO, const_cast<LPWSTR>(L"\\\\.")), "ChangeBrowsePosition");
    BrowseFlatResult result;
    const Stopwatch window;
    do {
        ComPtr<IEnumString> names;
        Check(browse->BrowseOPCItemIDs(OPC_FLAT, const_cast<LPWSTR>(L""), VT_EMPTY, 0, names.Put()),
              "BrowseOPCItemIDs");
        std::uint64_t leaves = 0;
        LPOLESTR name = nullptr;
        while (names && names->Next(1, &name, nullptr) == S_OK) {
            CoTaskMemFree(name);
            ++leaves;
        }
        result.leaves = leaves;
        ++result.listings;
    } while (window.Seconds() < settings.seconds);
    result.seconds = window.Seconds();
    result.msPerListing = result.seconds * 1e3 / static_cast<double>(result.listings);
    return result;
}

}  // namespace bench
