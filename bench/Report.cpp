#include "Report.h"

#include "orv/hmx/JsonWriter.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

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

}  // namespace

void PrintUpdate(const UpdateResult& u)
{
    std::printf("%8zu items: offered %9.0f/s, delivered %9.0f/s, lost %5.2f%% (%llu skipped ticks), "
                "process %.2f cores\n",
                u.items, u.offeredPerSecond, u.deliveredPerSecond,
                u.offered ? 100.0 * static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0,
                static_cast<unsigned long long>(u.skippedTicks), u.processCores);
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
        std::printf("\nItem updates through the local server host (groups of 1,000 active items at 100 ms, the\n"
                    "client in this process, server and simulator in the host); CPU in ns per delivered update\n");
        std::printf("%8s %10s %7s %8s %8s %8s %8s %8s %8s %8s\n", "items", "deliver/s", "lost", "client", "host",
                    "total", "c cores", "h cores", "calls", "scan ms");
        for (const UpdateResult& u : r.updates) {
            if (!u.localServer) continue;
            std::printf("%8zu %10.0f %6.2f%% %8.0f %8.0f %8.0f %8.3f %8.3f %8llu %8.2f\n", u.items, u.deliveredPerSecond,
                        u.offered ? 100.0 * static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0,
                        u.processNs, u.hostNs, u.processNs + u.hostNs, u.processCores, u.hostCores,
                        static_cast<unsigned long long>(u.callbacks), u.scanIntervalMeanMs);
        }
    }
    if (!std::all_of(r.updates.begin(), r.updates.end(), local)) {
        std::printf("\nItem updates (groups of 1,000 active items at 100 ms); CPU in ns per delivered update\n");
        std::printf("%8s %10s %10s %7s %8s %8s %8s %6s %8s %8s %8s %7s\n", "items", "offered/s", "deliver/s", "lost",
                    "process", "server", "floor", "ratio", "dlv cpu", "realtime", "scan", "cores");
        for (const UpdateResult& u : r.updates) {
            if (u.localServer) continue;
            std::printf("%8zu %10.0f %10.0f %6.2f%% %8.0f %8.0f %8.1f %5.1fx %8.0f %8.0f %8.0f %7.3f\n", u.items,
                        u.offeredPerSecond, u.deliveredPerSecond,
                        u.offered ? 100.0 * static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0,
                        u.processNs, u.serverNs, u.floorNs, u.floorNs > 0 ? u.serverNs / u.floorNs : 0.0,
                        u.deliveryThreadNs, u.realtimeCallbackNs, u.scanThreadNs, u.processCores);
        }
        std::printf("%8s %10s %9s %10s %8s %7s %8s %8s %8s %8s %8s %8s\n", "items", "produced", "missed", "skipped",
                    "notGood", "calls", "cb wall", "dlv busy", "scan ms", "min ms", "max ms", "setup s");
        for (const UpdateResult& u : r.updates) {
            if (u.localServer) continue;
            std::printf("%8zu %10llu %9lld %10llu %8llu %7llu %8.0f %8.0f %8.2f %8.2f %8.2f %8.1f\n", u.items,
                        static_cast<unsigned long long>(u.produced),
                        static_cast<long long>(u.offered) - static_cast<long long>(u.delivered),
                        static_cast<unsigned long long>(u.skippedTicks), static_cast<unsigned long long>(u.notGood),
                        static_cast<unsigned long long>(u.callbacks), u.callbackWallNs, u.deliveryBusyNs,
                        u.scanIntervalMeanMs, u.scanIntervalMinMs, u.scanIntervalMaxMs, u.addItemsSeconds);
        }
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
        std::printf("\nAddItems in one call\n%8s %10s %10s %10s %10s %10s\n", "items", "seconds", "us/item",
                    "cpu s", "settle s", "remove s");
        for (const AddItemsResult& a : r.addItems) {
            std::printf("%8zu %10.2f %10.1f %10.2f %10.2f %10.2f\n", a.items, a.seconds, a.usPerItem, a.cpuSeconds,
                        a.settleSeconds, a.removeSeconds);
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
    json.EndObject();
    Array(json, L"updates", r.updates, [&](const UpdateResult& u) {
        json.Key(L"items").Unsigned(u.items);
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
        json.Key(L"server_to_floor").Number(u.floorNs > 0 ? u.serverNs / u.floorNs : 0.0, kDigits);
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
        json.Key(L"items").Unsigned(a.items);
        json.Key(L"seconds").Number(a.seconds, kDigits);
        json.Key(L"us_per_item").Number(a.usPerItem, kDigits);
        json.Key(L"cpu_seconds").Number(a.cpuSeconds, kDigits);
        json.Key(L"settle_seconds").Number(a.settleSeconds, kDigits);
        json.Key(L"remove_seconds").Number(a.removeSeconds, kDigits);
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
