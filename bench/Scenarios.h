#pragma once
// The measurements. Each one sets up the simulator's bench points and its own server
// instance, warms up, measures over a fixed window and takes everything down again.
// CPU figures are nanoseconds of CPU time per item update unless named otherwise.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Settings {
    double seconds = 10.0;  // the measuring window
    double warmup = 3.0;    // steady running before the window opens
};

// The bench points change once per clock tick.
inline constexpr unsigned kSourcePeriodMs = 100;
// What clients of such a source ask for: a group that samples at the source's own period
// skips a value whenever its scan phase drifts across the tick, one at half the period
// sees every value whatever the phase.
inline constexpr unsigned kHalfSourcePeriodMs = kSourcePeriodMs / 2;

// The simulator alone: bench points subscribed straight through the realtime link by a
// receiver that only takes the value. The process's CPU per report is then the simulator's
// own cost, the floor that the server's cost is compared with.
struct FloorResult {
    std::size_t points = 0;
    double seconds = 0;
    std::uint64_t ticks = 0;
    std::uint64_t reports = 0;
    double reportsPerSecond = 0;
    double processNsPerReport = 0;       // the floor
    double busyNsPerReport = 0;          // the delivery thread outside its waits
    double threadCpuNsPerReport = 0;     // the delivery thread's own times (coarse under Wine)
    double callbackWallNsPerReport = 0;  // wall time inside the receiver's OnValue
    double subscribeUsPerPoint = 0;      // Subscribe on the realtime link, for comparison with AddItems
};

// Item updates through the server: groups of 1,000 active items at the rate asked for, one sink.
struct UpdateResult {
    std::size_t items = 0;
    unsigned rateMs = 0;  // the groups' requested update rate
    std::size_t groups = 0;
    double addItemsSeconds = 0;  // setting the groups up, for information
    double seconds = 0;
    std::uint64_t ticks = 0;
    std::uint64_t offered = 0;    // items x ticks in the window
    std::uint64_t produced = 0;   // values the simulator reported to the server's subscriptions
    std::uint64_t delivered = 0;  // item updates at OnDataChange
    std::uint64_t callbacks = 0;
    std::uint64_t skippedTicks = 0;  // ticks whose value an item never reported
    std::uint64_t notGood = 0;
    double offeredPerSecond = 0;
    double deliveredPerSecond = 0;
    double processCores = 0;  // process CPU time / wall time
    // CPU per delivered update unless noted.
    double processNs = 0;
    double floorNs = 0;             // the simulator alone, per produced update (FloorResult)
    double serverNs = 0;            // process minus the floor's share of the produced updates
    // The delivery thread runs the simulator and the server's realtime callbacks. Its own
    // times are exact but count whole clock ticks under Wine (coarse below ~100,000 updates/s);
    // busy and callback times are fine-grained but wall time, inflated when the thread is
    // preempted on a loaded machine.
    double deliveryThreadNs = 0;    // per produced update: the delivery thread's own times
    double realtimeCallbackNs = 0;  // per produced update: deliveryThreadNs minus the floor's
    double deliveryBusyNs = 0;      // per produced update: the delivery thread outside its waits
    double callbackWallNs = 0;      // per produced update: wall time inside the server's OnValue
    double scanThreadNs = 0;        // the update-scan thread: scan, copies, OnDataChange
    double otherThreadsNs = 0;      // process minus the delivery and the scan thread
    // Intervals between a group's OnDataChange calls in the window, in milliseconds.
    double scanIntervalMeanMs = 0;
    double scanIntervalMinMs = 0;
    double scanIntervalMaxMs = 0;
    // Through the local server host: the server and the simulator run there, this process is
    // the client alone (processNs), and the simulator's own figures above stay 0. Offered
    // is then what the sink saw plus the ticks it saw skipped.
    bool localServer = false;
    double hostNs = 0;     // the host's CPU per delivered update
    double hostCores = 0;  // the host's CPU time / wall time
    // Growth per item from before the groups were added until every item had been reported
    // once, in bytes (MemoryUse): the server's items, groups and subscriptions and the
    // simulator's side of them. Not a number through the local server, where they live in
    // the host.
    double heapBytesPerItem = 0;
    double privateBytesPerItem = 0;
    double workingSetBytesPerItem = 0;
    // Load averages read before this size's floor and after its last server run.
    std::string loadBefore;
    std::string loadAfter;
};

struct CacheReadResult {
    std::size_t itemsPerCall = 0;
    double seconds = 0;
    std::uint64_t calls = 0;
    double callsPerSecond = 0;
    double wallUsPerItem = 0;
    double cpuUsPerItem = 0;  // the whole process, background updates included
    std::uint64_t badItems = 0;
};

// The item IDs that an AddItems measurement adds.
enum class ItemIds {
    Bench,        // bench points \\.\bench\p<i>, which browsing does not know
    ListedBench,  // the same points listed in the browse tree (SIM_BENCH_LISTED)
    Memory,       // memory points \\.\mem\X<run>_<i>, which the simulator makes on first use
};
// "bench", "listed", "mem": the names --ids takes.
const char* ItemIdsName(ItemIds ids) noexcept;

// One AddItems call into a new inactive group of a new server, then RemoveGroup.
struct AddItemsResult {
    ItemIds ids = ItemIds::Bench;
    std::size_t items = 0;
    std::wstring firstItemId;
    // Left out, not measured: a smaller count of the same IDs took longer than the cap.
    bool skipped = false;
    double seconds = 0;
    double usPerItem = 0;
    double cpuSeconds = 0;
    double settleSeconds = 0;  // until the simulator had sent every first value
    double removeSeconds = 0;  // RemoveGroup of the group holding them all
    double heapBytesPerItem = 0;  // the heaps' growth from before AddItems to the first values
};

// Item creation when the bench points are listed in the browse tree or not.
struct LookupResult {
    std::size_t benchPoints = 0;
    bool listed = false;
    std::size_t items = 0;
    double seconds = 0;
    double usPerItem = 0;
};

FloorResult MeasureFloor(std::size_t points, const Settings& settings);
UpdateResult MeasureUpdates(std::size_t items, unsigned rateMs, const FloorResult& floor, const Settings& settings);
CacheReadResult MeasureCacheReads(std::size_t itemsPerCall, const Settings& settings);
// Prints how far the server has got every ten seconds while the call runs: with IDs that are
// slow to look up, a large call can take minutes.
AddItemsResult MeasureAddItems(ItemIds ids, std::size_t items);
// A few items added and removed, untimed, before the first MeasureAddItems of a process.
void WarmUpAddItems();
LookupResult MeasureLookup(std::size_t benchPoints, bool listed, std::size_t items);

// Asynchronous reads one after another: each IOPCAsyncIO2::Read waits for its
// OnReadComplete before the next is issued.
struct Read2Result {
    std::size_t itemsPerRequest = 0;
    double seconds = 0;
    std::uint64_t roundTrips = 0;
    double roundTripsPerSecond = 0;
    double usPerRoundTrip = 0;
    bool localServer = false;
};
Read2Result MeasureRead2(std::size_t itemsPerRequest, const Settings& settings);

// Flat browsing of the simulated plant from the local computer's root, over and over.
struct BrowseFlatResult {
    double seconds = 0;
    std::uint64_t listings = 0;
    std::uint64_t leaves = 0;  // item IDs in one listing
    double msPerListing = 0;
};
BrowseFlatResult MeasureBrowseFlat(const Settings& settings);

}  // namespace bench
