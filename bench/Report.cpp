#include "Report.h"

#include <algorithm>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace bench {
namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes one JSON object member at a time; the caller keeps the nesting.
class JsonWriter {
public:
    explicit JsonWriter(std::FILE* file) : file_(file) {}

    void Open(const char* name, char bracket)
    {
        Key(name);
        std::fputc(bracket, file_);
        first_ = true;
    }
    void Close(char bracket)
    {
        std::fputc(bracket, file_);
        first_ = false;
    }
    void Number(const char* name, double value)
    {
        Key(name);
        std::fprintf(file_, "%.6g", value);
    }
    void Count(const char* name, std::uint64_t value)
    {
        Key(name);
        std::fprintf(file_, "%llu", static_cast<unsigned long long>(value));
    }
    void Boolean(const char* name, bool value)
    {
        Key(name);
        std::fputs(value ? "true" : "false", file_);
    }
    void Text(const char* name, const std::string& value)
    {
        Key(name);
        std::fputc('"', file_);
        for (const char c : value) {
            if (c == '"' || c == '\\') std::fputc('\\', file_);
            std::fputc(c, file_);
        }
        std::fputc('"', file_);
    }

private:
    // A null name starts an array element.
    void Key(const char* name)
    {
        if (!first_) std::fputc(',', file_);
        first_ = false;
        if (name) std::fprintf(file_, "\"%s\":", name);
    }

    std::FILE* file_;
    bool first_ = true;
};

template <class Item, class Body>
void Array(JsonWriter& json, const char* name, const std::vector<Item>& items, Body body)
{
    json.Open(name, '[');
    for (const Item& item : items) {
        json.Open(nullptr, '{');
        body(item);
        json.Close('}');
    }
    json.Close(']');
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
    std::FILE* opened = nullptr;
    if (_wfopen_s(&opened, path.c_str(), L"w") != 0 || !opened) throw std::runtime_error("cannot write the JSON file");
    const std::unique_ptr<std::FILE, CloseFile> file(opened);
    JsonWriter json(file.get());
    json.Open(nullptr, '{');
    json.Open("machine", '{');
    json.Count("processors", r.processors);
    json.Text("wine", r.wineVersion);
    json.Text("process_cpu_clock", r.cpuClock);
    json.Text("load_before", r.loadBefore);
    json.Text("load_after", r.loadAfter);
    json.Close('}');
    json.Open("settings", '{');
    json.Number("seconds", r.settings.seconds);
    json.Number("warmup", r.settings.warmup);
    json.Close('}');
    Array(json, "updates", r.updates, [&](const UpdateResult& u) {
        json.Count("items", u.items);
        json.Count("groups", u.groups);
        json.Number("seconds", u.seconds);
        json.Count("ticks", u.ticks);
        json.Count("offered", u.offered);
        json.Count("produced", u.produced);
        json.Count("delivered", u.delivered);
        json.Number("missed", static_cast<double>(u.offered) - static_cast<double>(u.delivered));
        json.Count("skipped_ticks", u.skippedTicks);
        json.Number("lost_fraction",
                    u.offered ? static_cast<double>(u.skippedTicks) / static_cast<double>(u.offered) : 0.0);
        json.Count("not_good", u.notGood);
        json.Count("callbacks", u.callbacks);
        json.Number("offered_per_s", u.offeredPerSecond);
        json.Number("delivered_per_s", u.deliveredPerSecond);
        json.Number("process_cores", u.processCores);
        json.Number("process_ns_per_update", u.processNs);
        json.Number("server_ns_per_update", u.serverNs);
        json.Number("floor_ns_per_update", u.floorNs);
        json.Number("server_to_floor", u.floorNs > 0 ? u.serverNs / u.floorNs : 0.0);
        json.Number("delivery_busy_ns_per_produced", u.deliveryBusyNs);
        json.Number("realtime_callback_ns_per_produced", u.realtimeCallbackNs);
        json.Number("callback_wall_ns_per_produced", u.callbackWallNs);
        json.Number("delivery_thread_cpu_ns_per_produced", u.deliveryThreadNs);
        json.Number("scan_thread_ns_per_update", u.scanThreadNs);
        json.Number("scan_interval_mean_ms", u.scanIntervalMeanMs);
        json.Number("scan_interval_min_ms", u.scanIntervalMinMs);
        json.Number("scan_interval_max_ms", u.scanIntervalMaxMs);
        json.Number("other_threads_ns_per_update", u.otherThreadsNs);
        json.Number("setup_seconds", u.addItemsSeconds);
        json.Boolean("local_server", u.localServer);
        json.Number("host_ns_per_update", u.hostNs);
        json.Number("host_cores", u.hostCores);
    });
    Array(json, "simulator_floor", r.floors, [&](const FloorResult& f) {
        json.Count("points", f.points);
        json.Number("seconds", f.seconds);
        json.Count("ticks", f.ticks);
        json.Count("reports", f.reports);
        json.Number("reports_per_s", f.reportsPerSecond);
        json.Number("process_ns_per_report", f.processNsPerReport);
        json.Number("delivery_busy_ns_per_report", f.busyNsPerReport);
        json.Number("delivery_thread_cpu_ns_per_report", f.threadCpuNsPerReport);
        json.Number("callback_wall_ns_per_report", f.callbackWallNsPerReport);
        json.Number("subscribe_us_per_point", f.subscribeUsPerPoint);
    });
    Array(json, "cache_reads", r.cacheReads, [&](const CacheReadResult& c) {
        json.Count("items_per_call", c.itemsPerCall);
        json.Number("seconds", c.seconds);
        json.Count("calls", c.calls);
        json.Number("calls_per_s", c.callsPerSecond);
        json.Number("wall_us_per_item", c.wallUsPerItem);
        json.Number("cpu_us_per_item", c.cpuUsPerItem);
        json.Count("bad_items", c.badItems);
    });
    Array(json, "add_items", r.addItems, [&](const AddItemsResult& a) {
        json.Count("items", a.items);
        json.Number("seconds", a.seconds);
        json.Number("us_per_item", a.usPerItem);
        json.Number("cpu_seconds", a.cpuSeconds);
        json.Number("settle_seconds", a.settleSeconds);
        json.Number("remove_seconds", a.removeSeconds);
    });
    Array(json, "lookup", r.lookups, [&](const LookupResult& l) {
        json.Count("bench_points", l.benchPoints);
        json.Boolean("listed", l.listed);
        json.Count("items", l.items);
        json.Number("seconds", l.seconds);
        json.Number("us_per_item", l.usPerItem);
    });
    Array(json, "read2", r.read2s, [&](const Read2Result& a) {
        json.Count("items_per_request", a.itemsPerRequest);
        json.Number("seconds", a.seconds);
        json.Count("round_trips", a.roundTrips);
        json.Number("round_trips_per_s", a.roundTripsPerSecond);
        json.Number("us_per_round_trip", a.usPerRoundTrip);
        json.Boolean("local_server", a.localServer);
    });
    Array(json, "browse_flat", r.browses, [&](const BrowseFlatResult& b) {
        json.Number("seconds", b.seconds);
        json.Count("listings", b.listings);
        json.Count("leaves", b.leaves);
        json.Number("ms_per_listing", b.msPerListing);
    });
    json.Close('}');
    std::fputc('\n', file.get());
    if (std::ferror(file.get())) throw std::runtime_error("writing the JSON file failed");
}

}  // namespace bench
