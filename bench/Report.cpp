#include "Report.h"

#include "Measure.h"

#include "orv/hmx/JsonWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {
namespace {

using orv::hmx::JsonWriter;

// The figures keep six significant digits.
constexpr int kDigits = 6;

template <class Item, class Body>
void Array(JsonWriter& json, const wchar_t* name, const std::vector<Item>& items, Body body)
{
    json.Key(name).BeginArray();
    for (const Item& item : items) {
        json.BeginObject();
        body(item);
        json.EndObject();
    }
    json.EndArray();
}

double LostPercent(const UpdateResult& u)
{
    return u.offered ? 100.0 * static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0;
}

double ServerToFloor(const UpdateResult& u)
{
    return u.floorNs > 0 ? u.serverNs / u.floorNs : 0.0;
}

// Whether the run was clean, from every load average read during it.
struct Verdict {
    bool known = false;  // every reading had a load average to judge by
    bool clean = false;
    double highest = 0;               // the highest 1-minute figure read
    std::vector<std::string> excess;  // "1.25 at updates 100000 items, after", one per reading above the limit
};

Verdict Judge(const std::vector<LoadReading>& loads)
{
    Verdict verdict;
    verdict.known = !loads.empty();
    for (const LoadReading& reading : loads) {
        const double load = OneMinuteLoad(reading.loadAverage);
        if (std::isnan(load)) {
            verdict.known = false;
            continue;
        }
        verdict.highest = std::max(verdict.highest, load);
        if (load > kCleanLoad) {
            char text[160];
            std::snprintf(text, sizeof(text), "%.2f at %s", load, reading.when.c_str());
            verdict.excess.push_back(text);
        }
    }
    verdict.clean = verdict.known && verdict.excess.empty();
    return verdict;
}

// How the cost per item grows with the count of one kind of item ID: us per item at the
// largest count measured over us per item at the smallest; 1 is linear.
struct Linearity {
    ItemIds ids = ItemIds::Bench;
    const AddItemsResult* smallest = nullptr;
    const AddItemsResult* largest = nullptr;
    double ratio = 0;
    bool partial = false;  // larger counts were left out: the ratio stops short of them
};

std::vector<Linearity> Linearities(const std::vector<AddItemsResult>& results)
{
    std::vector<Linearity> found;
    for (const AddItemsResult& a : results) {
        if (a.skipped) continue;
        auto same = std::find_if(found.begin(), found.end(), [&](const Linearity& l) { return l.ids == a.ids; });
        if (same == found.end()) {
            found.push_back({a.ids, &a, &a, 0});
            continue;
        }
        if (a.items < same->smallest->items) same->smallest = &a;
        if (a.items > same->largest->items) same->largest = &a;
    }
    std::erase_if(found, [](const Linearity& l) { return l.smallest->items == l.largest->items; });
    for (Linearity& l : found) {
        l.partial = std::any_of(results.begin(), results.end(), [&](const AddItemsResult& a) {
            return a.skipped && a.ids == l.ids && a.items > l.largest->items;
        });
    }
    for (Linearity& l : found) l.ratio = l.smallest->usPerItem > 0 ? l.largest->usPerItem / l.smallest->usPerItem : 0.0;
    return found;
}

// The floor measured for a size in this run; null when there is none (the local server).
const FloorResult* FloorOf(const Results& r, std::size_t items)
{
    const auto found =
        std::find_if(r.floors.rbegin(), r.floors.rend(), [&](const FloorResult& f) { return f.points == items; });
    return found == r.floors.rend() ? nullptr : &*found;
}

void PrintPerSize(const Results& r)
{
    std::printf("\nOne run per size: the floor and the server measured in this run, ns per delivered update;\n"
                "memory growth per item from before AddItems to every item reported once; load averages\n"
                "(1, 5, 15 min) before the size's floor and after its last server run\n");
    std::printf("%8s %8s %6s %7s %8s %9s %9s %9s %9s  %s\n", "items", "floor", "rate", "lost", "server", "srv/floor",
                "heap B", "priv B", "wset B", "load before -> after");
    std::size_t previous = 0;
    for (const UpdateResult& u : r.updates) {
        if (u.localServer) continue;
        const bool first = u.items != previous;
        previous = u.items;
        const FloorResult* floor = FloorOf(r, u.items);
        char size[16] = "";
        char floorNs[16] = "";
        if (first) {
            std::snprintf(size, sizeof(size), "%zu", u.items);
            std::snprintf(floorNs, sizeof(floorNs), "%.1f", floor ? floor->processNsPerReport : 0.0);
        }
        char rate[16];
        std::snprintf(rate, sizeof(rate), "%u ms", u.rateMs);
        std::printf("%8s %8s %6s %6.2f%% %8.0f %8.2fx %9.0f %9.0f %9.0f", size, floorNs, rate, LostPercent(u),
                    u.serverNs, ServerToFloor(u), u.heapBytesPerItem, u.privateBytesPerItem, u.workingSetBytesPerItem);
        if (first) std::printf("  %s -> %s", u.loadBefore.c_str(), u.loadAfter.c_str());
        std::printf("\n");
    }
}

void PrintVerdict(const Results& r)
{
    const Verdict verdict = Judge(r.loads);
    if (!verdict.known) {
        std::printf("\nClean run: unknown, no load average to judge by on this system\n");
        return;
    }
    if (verdict.clean) {
        std::printf("\nClean run: yes, all %zu 1-minute load averages read were at most %.1f (highest %.2f)\n",
                    r.loads.size(), kCleanLoad, verdict.highest);
        return;
    }
    std::printf("\nClean run: NO, %zu of %zu 1-minute load averages read were above %.1f:\n", verdict.excess.size(),
                r.loads.size(), kCleanLoad);
    for (const std::string& excess : verdict.excess) std::printf("  %s\n", excess.c_str());
    std::printf("Other work on the machine skews these figures; measure again when it is quiet.\n");
}

}  // namespace

void PrintUpdate(const UpdateResult& u)
{
    std::printf("%8zu items at %u ms: offered %9.0f/s, delivered %9.0f/s, lost %5.2f%% (%llu skipped ticks), "
                "process %.2f cores\n",
                u.items, u.rateMs, u.offeredPerSecond, u.deliveredPerSecond, LostPercent(u),
                static_cast<unsigned long long>(u.skippedTicks), u.processCores);
    std::fflush(stdout);
}

void PrintAddItems(const AddItemsResult& a)
{
    if (a.skipped) {
        std::printf("  %-6s %8zu items: left out, a smaller count took longer than the cap\n", ItemIdsName(a.ids),
                    a.items);
    } else {
        std::printf("  %-6s %8zu items: %.3f s, %.1f us per item, %.3f s CPU, first values after %.3f s more, "
                    "RemoveGroup %.3f s, %.0f heap bytes per item\n",
                    ItemIdsName(a.ids), a.items, a.seconds, a.usPerItem, a.cpuSeconds, a.settleSeconds,
                    a.removeSeconds, a.heapBytesPerItem);
    }
    std::fflush(stdout);
}

void PrintTables(const Results& r)
{
    std::printf("\nMachine: %u processors, %s; window %.1f s after %.1f s warm-up; process CPU from %s\n",
                r.processors, r.wineVersion.empty() ? "Windows" : r.wineVersion.c_str(), r.settings.seconds,
                r.settings.warmup, r.cpuClock.c_str());
    if (!r.loadBefore.empty()) {
        std::printf("Load average before: %s, after: %s\n", r.loadBefore.c_str(), r.loadAfter.c_str());
    }

    const auto local = [](const UpdateResult& u) { return u.localServer; };
    if (std::any_of(r.updates.begin(), r.updates.end(), local)) {
        std::printf("\nItem updates through the local server host (groups of 1,000 active items, the client in\n"
                    "this process, server and simulator in the host); CPU in ns per delivered update\n");
        std::printf("%8s %5s %10s %7s %8s %8s %8s %8s %8s %8s %8s\n", "items", "rate", "deliver/s", "lost", "client",
                    "host", "total", "c cores", "h cores", "calls", "scan ms");
        for (const UpdateResult& u : r.updates) {
            if (!u.localServer) continue;
            std::printf("%8zu %5u %10.0f %6.2f%% %8.0f %8.0f %8.0f %8.3f %8.3f %8llu %8.2f\n", u.items, u.rateMs,
                        u.deliveredPerSecond, LostPercent(u), u.processNs, u.hostNs, u.processNs + u.hostNs,
                        u.processCores, u.hostCores, static_cast<unsigned long long>(u.callbacks),
                        u.scanIntervalMeanMs);
        }
    }
    if (!std::all_of(r.updates.begin(), r.updates.end(), local)) {
        std::printf("\nItem updates (groups of 1,000 active items at the rate shown, source changing every %u ms);\n"
                    "CPU in ns per delivered update\n",
                    kSourcePeriodMs);
        std::printf("%8s %5s %10s %10s %7s %8s %8s %8s %9s %8s %8s %8s %7s\n", "items", "rate", "offered/s",
                    "deliver/s", "lost", "process", "server", "floor", "srv/floor", "dlv cpu", "realtime", "scan",
                    "cores");
        for (const UpdateResult& u : r.updates) {
            if (u.localServer) continue;
            std::printf("%8zu %5u %10.0f %10.0f %6.2f%% %8.0f %8.0f %8.1f %8.2fx %8.0f %8.0f %8.0f %7.3f\n", u.items,
                        u.rateMs, u.offeredPerSecond, u.deliveredPerSecond, LostPercent(u), u.processNs, u.serverNs,
                        u.floorNs, ServerToFloor(u), u.deliveryThreadNs, u.realtimeCallbackNs, u.scanThreadNs,
                        u.processCores);
        }
        std::printf("%8s %5s %10s %9s %10s %8s %7s %8s %8s %8s %8s %8s %8s\n", "items", "rate", "produced", "missed",
                    "skipped", "notGood", "calls", "cb wall", "dlv busy", "cb ms", "min ms", "max ms", "setup s");
        for (const UpdateResult& u : r.updates) {
            if (u.localServer) continue;
            std::printf("%8zu %5u %10llu %9lld %10llu %8llu %7llu %8.0f %8.0f %8.2f %8.2f %8.2f %8.1f\n", u.items,
                        u.rateMs, static_cast<unsigned long long>(u.produced),
                        static_cast<long long>(u.offered) - static_cast<long long>(u.delivered),
                        static_cast<unsigned long long>(u.skippedTicks), static_cast<unsigned long long>(u.notGood),
                        static_cast<unsigned long long>(u.callbacks), u.callbackWallNs, u.deliveryBusyNs,
                        u.scanIntervalMeanMs, u.scanIntervalMinMs, u.scanIntervalMaxMs, u.addItemsSeconds);
        }
        PrintPerSize(r);
    }
    if (!r.floors.empty()) {
        std::printf("\nSimulator alone (counting receiver); ns per report\n%8s %12s %10s %10s %10s %10s %12s\n",
                    "points", "reports/s", "process", "busy", "thread", "cb wall", "subscribe us");
        for (const FloorResult& f : r.floors) {
            std::printf("%8zu %12.0f %10.1f %10.1f %10.1f %10.1f %12.1f\n", f.points, f.reportsPerSecond,
                        f.processNsPerReport, f.busyNsPerReport, f.threadCpuNsPerReport, f.callbackWallNsPerReport,
                        f.subscribeUsPerPoint);
        }
    }
    if (!r.cacheReads.empty()) {
        std::printf("\nCache reads (IOPCSyncIO::Read, OPC_DS_CACHE)\n%8s %10s %10s %12s %12s %8s\n", "items/call",
                    "calls", "calls/s", "wall us/item", "cpu us/item", "bad");
        for (const CacheReadResult& c : r.cacheReads) {
            std::printf("%8zu %10llu %10.1f %12.3f %12.3f %8llu\n", c.itemsPerCall,
                        static_cast<unsigned long long>(c.calls), c.callsPerSecond, c.wallUsPerItem, c.cpuUsPerItem,
                        static_cast<unsigned long long>(c.badItems));
        }
    }
    if (!r.addItems.empty()) {
        std::printf("\nAddItems, one call into a new inactive group of a new server, then RemoveGroup. IDs: bench\n"
                    "\\\\.\\bench\\p<i> (not listed for browsing), listed: the same points listed, mem: new memory\n"
                    "points \\\\.\\mem\\X<run>_<i>. Heap bytes per item after the first values.\n");
        std::printf("%8s %8s %10s %10s %10s %10s %10s %10s\n", "ids", "items", "seconds", "us/item", "cpu s",
                    "settle s", "remove s", "heap B");
        for (const AddItemsResult& a : r.addItems) {
            if (a.skipped) {
                std::printf("%8s %8zu  left out: a smaller count took longer than %g s\n", ItemIdsName(a.ids), a.items,
                            r.addItemsCapSeconds);
                continue;
            }
            std::printf("%8s %8zu %10.3f %10.1f %10.3f %10.3f %10.3f %10.0f\n", ItemIdsName(a.ids), a.items, a.seconds,
                        a.usPerItem, a.cpuSeconds, a.settleSeconds, a.removeSeconds, a.heapBytesPerItem);
        }
        const std::vector<Linearity> linearities = Linearities(r.addItems);
        if (!linearities.empty()) {
            std::printf("Linearity (us per item at the largest count / at the smallest; 1.0 is linear):\n");
            for (const Linearity& l : linearities) {
                std::printf("%8s %.2f (%.1f us at %zu items, %.1f us at %zu)%s\n", ItemIdsName(l.ids), l.ratio,
                            l.largest->usPerItem, l.largest->items, l.smallest->usPerItem, l.smallest->items,
                            l.partial ? "; larger counts left out" : "");
            }
        }
    }
    if (!r.lookups.empty()) {
        std::printf("\nItem creation with the bench points listed for browsing or not\n%8s %8s %8s %10s %12s\n",
                    "points", "listed", "items", "seconds", "us/item");
        for (const LookupResult& l : r.lookups) {
            std::printf("%8zu %8s %8zu %10.2f %12.1f\n", l.benchPoints, l.listed ? "yes" : "no", l.items, l.seconds,
                        l.usPerItem);
        }
    }
    if (!r.read2s.empty()) {
        std::printf("\nAsynchronous reads (IOPCAsyncIO2::Read to OnReadComplete, one at a time)\n%8s %10s %12s %12s %8s\n",
                    "items", "trips", "trips/s", "us/trip", "server");
        for (const Read2Result& a : r.read2s) {
            std::printf("%8zu %10llu %12.1f %12.1f %8s\n", a.itemsPerRequest,
                        static_cast<unsigned long long>(a.roundTrips), a.roundTripsPerSecond, a.usPerRoundTrip,
                        a.localServer ? "local" : "inproc");
        }
    }
    if (!r.browses.empty()) {
        std::printf("\nFlat browsing of the simulated plant from the local computer\n%10s %10s %12s\n", "listings",
                    "leaves", "ms/listing");
        for (const BrowseFlatResult& b : r.browses) {
            std::printf("%10llu %10llu %12.2f\n", static_cast<unsigned long long>(b.listings),
                        static_cast<unsigned long long>(b.leaves), b.msPerListing);
        }
    }
    PrintVerdict(r);
    std::fflush(stdout);
}

void WriteJson(const Results& r, const std::wstring& path)
{
    JsonWriter json;
    json.BeginObject();
    json.Key(L"machine").BeginObject();
    json.Key(L"processors").Unsigned(r.processors);
    json.Key(L"wine").String(orv::hmx::FromUtf8(r.wineVersion));
    json.Key(L"process_cpu_clock").String(orv::hmx::FromUtf8(r.cpuClock));
    json.Key(L"load_before").String(orv::hmx::FromUtf8(r.loadBefore));
    json.Key(L"load_after").String(orv::hmx::FromUtf8(r.loadAfter));
    json.EndObject();
    json.Key(L"settings").BeginObject();
    json.Key(L"seconds").Number(r.settings.seconds, kDigits);
    json.Key(L"warmup").Number(r.settings.warmup, kDigits);
    json.Key(L"source_period_ms").Unsigned(kSourcePeriodMs);
    json.Key(L"update_rates_ms").BeginArray();
    for (const unsigned rate : r.updateRatesMs) json.Unsigned(rate);
    json.EndArray();
    json.Key(L"add_items_cap_seconds").Number(r.addItemsCapSeconds, kDigits);
    json.EndObject();
    const Verdict verdict = Judge(r.loads);
    json.Key(L"run").BeginObject();
    json.Key(L"clean_load_limit").Number(kCleanLoad, kDigits);
    json.Key(L"clean");
    if (verdict.known) {
        json.Bool(verdict.clean);
    } else {
        json.Null();
    }
    json.Key(L"highest_load_1min").Number(verdict.known ? verdict.highest : std::nan(""), kDigits);
    json.Key(L"above_limit").BeginArray();
    for (const std::string& excess : verdict.excess) json.String(orv::hmx::FromUtf8(excess));
    json.EndArray();
    Array(json, L"load_readings", r.loads, [&](const LoadReading& l) {
        json.Key(L"when").String(orv::hmx::FromUtf8(l.when));
        json.Key(L"load_average").String(orv::hmx::FromUtf8(l.loadAverage));
        json.Key(L"load_1min").Number(OneMinuteLoad(l.loadAverage), kDigits);
    });
    json.EndObject();
    Array(json, L"updates", r.updates, [&](const UpdateResult& u) {
        json.Key(L"items").Unsigned(u.items);
        json.Key(L"rate_ms").Unsigned(u.rateMs);
        json.Key(L"groups").Unsigned(u.groups);
        json.Key(L"seconds").Number(u.seconds, kDigits);
        json.Key(L"ticks").Unsigned(u.ticks);
        json.Key(L"offered").Unsigned(u.offered);
        json.Key(L"produced").Unsigned(u.produced);
        json.Key(L"delivered").Unsigned(u.delivered);
        json.Key(L"missed").Number(static_cast<double>(u.offered) - static_cast<double>(u.delivered), kDigits);
        json.Key(L"skipped_ticks").Unsigned(u.skippedTicks);
        json.Key(L"lost_fraction")
            .Number(u.offered ? static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0, kDigits);
        json.Key(L"not_good").Unsigned(u.notGood);
        json.Key(L"callbacks").Unsigned(u.callbacks);
        json.Key(L"offered_per_s").Number(u.offeredPerSecond, kDigits);
        json.Key(L"delivered_per_s").Number(u.deliveredPerSecond, kDigits);
        json.Key(L"process_cores").Number(u.processCores, kDigits);
        json.Key(L"process_ns_per_update").Number(u.processNs, kDigits);
        json.Key(L"server_ns_per_update").Number(u.serverNs, kDigits);
        json.Key(L"floor_ns_per_update").Number(u.floorNs, kDigits);
        json.Key(L"server_to_floor").Number(ServerToFloor(u), kDigits);
        json.Key(L"delivery_busy_ns_per_produced").Number(u.deliveryBusyNs, kDigits);
        json.Key(L"realtime_callback_ns_per_produced").Number(u.realtimeCallbackNs, kDigits);
        json.Key(L"callback_wall_ns_per_produced").Number(u.callbackWallNs, kDigits);
        json.Key(L"delivery_thread_cpu_ns_per_produced").Number(u.deliveryThreadNs, kDigits);
        json.Key(L"scan_thread_ns_per_update").Number(u.scanThreadNs, kDigits);
        json.Key(L"scan_interval_mean_ms").Number(u.scanIntervalMeanMs, kDigits);
        json.Key(L"scan_interval_min_ms").Number(u.scanIntervalMinMs, kDigits);
        json.Key(L"scan_interval_max_ms").Number(u.scanIntervalMaxMs, kDigits);
        json.Key(L"other_threads_ns_per_update").Number(u.otherThreadsNs, kDigits);
        json.Key(L"setup_seconds").Number(u.addItemsSeconds, kDigits);
        json.Key(L"local_server").Bool(u.localServer);
        json.Key(L"host_ns_per_update").Number(u.hostNs, kDigits);
        json.Key(L"host_cores").Number(u.hostCores, kDigits);
        json.Key(L"heap_bytes_per_item").Number(u.heapBytesPerItem, kDigits);
        json.Key(L"private_bytes_per_item").Number(u.privateBytesPerItem, kDigits);
        json.Key(L"working_set_bytes_per_item").Number(u.workingSetBytesPerItem, kDigits);
        json.Key(L"load_before").String(orv::hmx::FromUtf8(u.loadBefore));
        json.Key(L"load_after").String(orv::hmx::FromUtf8(u.loadAfter));
    });
    Array(json, L"simulator_floor", r.floors, [&](const FloorResult& f) {
        json.Key(L"points").Unsigned(f.points);
        json.Key(L"seconds").Number(f.seconds, kDigits);
        json.Key(L"ticks").Unsigned(f.ticks);
        json.Key(L"reports").Unsigned(f.reports);
        json.Key(L"reports_per_s").Number(f.reportsPerSecond, kDigits);
        json.Key(L"process_ns_per_report").Number(f.processNsPerReport, kDigits);
        json.Key(L"delivery_busy_ns_per_report").Number(f.busyNsPerReport, kDigits);
        json.Key(L"delivery_thread_cpu_ns_per_report").Number(f.threadCpuNsPerReport, kDigits);
        json.Key(L"callback_wall_ns_per_report").Number(f.callbackWallNsPerReport, kDigits);
        json.Key(L"subscribe_us_per_point").Number(f.subscribeUsPerPoint, kDigits);
    });
    Array(json, L"cache_reads", r.cacheReads, [&](const CacheReadResult& c) {
        json.Key(L"items_per_call").Unsigned(c.itemsPerCall);
        json.Key(L"seconds").Number(c.seconds, kDigits);
        json.Key(L"calls").Unsigned(c.calls);
        json.Key(L"calls_per_s").Number(c.callsPerSecond, kDigits);
        json.Key(L"wall_us_per_item").Number(c.wallUsPerItem, kDigits);
        json.Key(L"cpu_us_per_item").Number(c.cpuUsPerItem, kDigits);
        json.Key(L"bad_items").Unsigned(c.badItems);
    });
    Array(json, L"add_items", r.addItems, [&](const AddItemsResult& a) {
        json.Key(L"ids").String(orv::hmx::FromUtf8(ItemIdsName(a.ids)));
        json.Key(L"items").Unsigned(a.items);
        json.Key(L"skipped").Bool(a.skipped);
        if (a.skipped) return;
        json.Key(L"first_item_id").String(a.firstItemId);
        json.Key(L"seconds").Number(a.seconds, kDigits);
        json.Key(L"us_per_item").Number(a.usPerItem, kDigits);
        json.Key(L"cpu_seconds").Number(a.cpuSeconds, kDigits);
        json.Key(L"settle_seconds").Number(a.settleSeconds, kDigits);
        json.Key(L"remove_seconds").Number(a.removeSeconds, kDigits);
        json.Key(L"heap_bytes_per_item").Number(a.heapBytesPerItem, kDigits);
    });
    Array(json, L"add_items_linearity", Linearities(r.addItems), [&](const Linearity& l) {
        json.Key(L"ids").String(orv::hmx::FromUtf8(ItemIdsName(l.ids)));
        json.Key(L"smallest_items").Unsigned(l.smallest->items);
        json.Key(L"largest_items").Unsigned(l.largest->items);
        json.Key(L"us_per_item_smallest").Number(l.smallest->usPerItem, kDigits);
        json.Key(L"us_per_item_largest").Number(l.largest->usPerItem, kDigits);
        json.Key(L"linearity").Number(l.ratio, kDigits);
        json.Key(L"larger_counts_left_out").Bool(l.partial);
    });
    Array(json, L"lookup", r.lookups, [&](const LookupResult& l) {
        json.Key(L"bench_points").Unsigned(l.benchPoints);
        json.Key(L"listed").Bool(l.listed);
        json.Key(L"items").Unsigned(l.items);
        json.Key(L"seconds").Number(l.seconds, kDigits);
        json.Key(L"us_per_item").Number(l.usPerItem, kDigits);
    });
    Array(json, L"read2", r.read2s, [&](const Read2Result& a) {
        json.Key(L"items_per_request").Unsigned(a.itemsPerRequest);
        json.Key(L"seconds").Number(a.seconds, kDigits);
        json.Key(L"round_trips").Unsigned(a.roundTrips);
        json.Key(L"round_trips_per_s").Number(a.roundTripsPerSecond, kDigits);
        json.Key(L"us_per_round_trip").Number(a.usPerRoundTrip, kDigits);
        json.Key(L"local_server").Bool(a.localServer);
    });
    Array(json, L"browse_flat", r.browses, [&](const BrowseFlatResult& b) {
        json.Key(L"seconds").Number(b.seconds, kDigits);
        json.Key(L"listings").Unsigned(b.listings);
        json.Key(L"leaves").Unsigned(b.leaves);
        json.Key(L"ms_per_listing").Number(b.msPerListing, kDigits);
    });
    json.EndObject();
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, path.c_str(), L"w") != 0 || !file) throw std::runtime_error("cannot write the JSON file");
    const std::string text = orv::hmx::ToUtf8(json.Text()) + '\n';
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) throw std::runtime_error("writing the JSON file failed");
}

}  // namespace bench
