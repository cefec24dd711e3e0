// twopc-bench: measures the server as an OPC client uses it, against the simulator's bench
// points. See docs/performance.md for the method and the figures.
//
//   twopc-bench [--scenario all|updates|read|additems|lookup|read2|browse] [--items N[,N...]]
//               [--seconds S] [--warmup S] [--json path] [--context inproc|local]
//               [--rate MS] [--ids bench,listed,mem] [--cap-seconds S]
//
// With --context local the server runs in its local server host (twopcsrv.exe, registered
// with /RegServer, and twopcps.dll registered): only updates and read2 run then.
//
// Without --rate the updates scenario runs every size at the source's own period and at
// half of it, the rate that clients of such a source use. --ids and --cap-seconds apply to
// additems: which kinds of item IDs, and after how long one call makes the larger counts of
// the same kind be left out (0: never).

#include "Measure.h"
#include "OpcClient.h"
#include "Report.h"
#include "Scenarios.h"

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace bench;

const std::vector<std::size_t> kUpdateSizes = {1'000, 10'000, 100'000};
constexpr std::size_t kReadItemsPerCall = 1'000;
const std::vector<std::size_t> kAddItemsCounts = {25'000, 50'000, 100'000};
const std::vector<ItemIds> kAllItemIds = {ItemIds::Bench, ItemIds::ListedBench, ItemIds::Memory};
// Enough for every count of a kind that is about linear; a kind that grows with the square
// of the count would otherwise hold the run up for hours at the larger counts.
constexpr double kAddItemsCapSeconds = 120;
// Listed, every item creation lists all bench points again: kept small enough to finish.
const std::vector<std::size_t> kLookupPoints = {1'000, 10'000};
constexpr std::size_t kLookupItems = 200;

struct Options {
    std::wstring scenario = L"all";
    std::vector<std::size_t> items;  // empty: each scenario's own sizes
    Settings settings;
    std::wstring json = L"bench-results.json";
    bool localServer = false;
    std::vector<unsigned> ratesMs = {kSourcePeriodMs, kHalfSourcePeriodMs};  // updates
    std::vector<ItemIds> ids = kAllItemIds;                                  // additems
    double capSeconds = kAddItemsCapSeconds;
};

void Usage()
{
    std::fputs("usage: twopc-bench [--scenario all|updates|read|additems|lookup|read2|browse] [--items N[,N...]]\n"
               "                   [--seconds S] [--warmup S] [--json path] [--context inproc|local]\n"
               "                   [--rate MS] [--ids bench,listed,mem] [--cap-seconds S]\n"
               "  --rate MS         updates: the groups' update rate alone (default: 100 and 50)\n"
               "  --ids LIST        additems: the kinds of item IDs (default: bench,listed,mem)\n"
               "  --cap-seconds S   additems: leave out a kind's larger counts once one call took\n"
               "                    longer than S seconds; 0 never (default 120)\n",
               stderr);
}

bool ParseIds(const wchar_t* text, std::vector<ItemIds>& ids)
{
    ids.clear();
    std::wstring_view rest = text;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(L',');
        const std::wstring_view name = rest.substr(0, comma);
        rest = comma == std::wstring_view::npos ? std::wstring_view() : rest.substr(comma + 1);
        const auto known = std::find_if(kAllItemIds.begin(), kAllItemIds.end(), [&](ItemIds candidate) {
            const std::string_view candidateName = ItemIdsName(candidate);
            return std::equal(name.begin(), name.end(), candidateName.begin(), candidateName.end(),
                              [](wchar_t a, char b) { return a == static_cast<unsigned char>(b); });
        });
        if (known == kAllItemIds.end()) return false;
        if (std::find(ids.begin(), ids.end(), *known) == ids.end()) ids.push_back(*known);
    }
    return !ids.empty();
}

bool ParseSizes(const wchar_t* text, std::vector<std::size_t>& sizes)
{
    while (*text) {
        wchar_t* end = nullptr;
        const unsigned long long value = std::wcstoull(text, &end, 10);
        if (end == text || value == 0 || value > 1'000'000) return false;
        sizes.push_back(static_cast<std::size_t>(value));
        text = end;
        if (*text == L',') ++text;
    }
    return !sizes.empty();
}

bool ParseSeconds(const wchar_t* text, double& seconds)
{
    wchar_t* end = nullptr;
    seconds = std::wcstod(text, &end);
    return end != text && *end == L'\0' && seconds >= 0.0;
}

bool Parse(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (i + 1 >= argc) return false;
        const wchar_t* value = argv[++i];
        if (name == L"--scenario") {
            options.scenario = value;
        } else if (name == L"--items") {
            if (!ParseSizes(value, options.items)) return false;
        } else if (name == L"--seconds") {
            if (!ParseSeconds(value, options.settings.seconds) || options.settings.seconds <= 0.0) return false;
        } else if (name == L"--warmup") {
            if (!ParseSeconds(value, options.settings.warmup)) return false;
        } else if (name == L"--json") {
            options.json = value;
        } else if (name == L"--context") {
            if (std::wcscmp(value, L"local") != 0 && std::wcscmp(value, L"inproc") != 0) return false;
            options.localServer = std::wcscmp(value, L"local") == 0;
        } else if (name == L"--rate") {
            wchar_t* end = nullptr;
            const unsigned long rate = std::wcstoul(value, &end, 10);
            if (end == value || *end != L'\0' || rate == 0 || rate > 3'600'000) return false;
            options.ratesMs = {static_cast<unsigned>(rate)};
        } else if (name == L"--ids") {
            if (!ParseIds(value, options.ids)) return false;
        } else if (name == L"--cap-seconds") {
            if (!ParseSeconds(value, options.capSeconds)) return false;
        } else {
            return false;
        }
    }
    const std::wstring& s = options.scenario;
    if (options.localServer) return s == L"updates" || s == L"read2";
    return s == L"all" || s == L"updates" || s == L"read" || s == L"additems" || s == L"lookup" || s == L"read2" ||
           s == L"browse";
}

// Reads the load averages into the run's record, and says what they were.
std::string ReadLoad(Results& results, std::string when)
{
    std::string load = LoadAverage();
    if (!load.empty()) {
        std::printf("  load average %s: %s\n", when.c_str(), load.c_str());
        std::fflush(stdout);
    }
    results.loads.push_back({std::move(when), load});
    return load;
}

void RunAddItems(const Options& options, const std::vector<std::size_t>& counts, Results& results)
{
    std::vector<std::size_t> ascending = counts;
    std::sort(ascending.begin(), ascending.end());
    WarmUpAddItems();
    for (const ItemIds ids : options.ids) {
        bool overCap = false;
        for (const std::size_t items : ascending) {
            if (overCap) {
                AddItemsResult skipped;
                skipped.ids = ids;
                skipped.items = items;
                skipped.skipped = true;
                results.addItems.push_back(skipped);
                PrintAddItems(skipped);
                continue;
            }
            std::printf("AddItems of %zu %s items...\n", items, ItemIdsName(ids));
            std::fflush(stdout);
            results.addItems.push_back(MeasureAddItems(ids, items));
            PrintAddItems(results.addItems.back());
            overCap = options.capSeconds > 0 && results.addItems.back().seconds > options.capSeconds;
        }
    }
}

void Run(const Options& options, Results& results)
{
    const auto wants = [&](const wchar_t* scenario) {
        return options.scenario == L"all" || options.scenario == scenario;
    };
    const auto sizesOr = [&](const std::vector<std::size_t>& defaults) {
        return options.items.empty() ? defaults : options.items;
    };
    if (wants(L"updates")) {
        results.updateRatesMs = options.ratesMs;
        for (const std::size_t items : sizesOr(kUpdateSizes)) {
            const std::string sizeName = "updates " + std::to_string(items) + " items";
            const std::string loadBefore = ReadLoad(results, sizeName + ", before");
            FloorResult floor;  // the simulator runs in the host, out of reach, with the local server
            if (!options.localServer) {
                std::printf("updates, %zu items: simulator alone...\n", items);
                std::fflush(stdout);
                floor = MeasureFloor(items, options.settings);
                results.floors.push_back(floor);
            }
            const std::size_t first = results.updates.size();
            for (const unsigned rateMs : options.ratesMs) {
                std::printf("updates, %zu items at %u ms: through the %s server...\n", items, rateMs,
                            options.localServer ? "local" : "in-process");
                std::fflush(stdout);
                results.updates.push_back(MeasureUpdates(items, rateMs, floor, options.settings));
                PrintUpdate(results.updates.back());
            }
            const std::string loadAfter = ReadLoad(results, sizeName + ", after");
            for (std::size_t i = first; i < results.updates.size(); ++i) {
                results.updates[i].loadBefore = loadBefore;
                results.updates[i].loadAfter = loadAfter;
            }
        }
    }
    if (wants(L"read")) {
        for (const std::size_t items : sizesOr({kReadItemsPerCall})) {
            std::printf("cache reads, %zu items per call...\n", items);
            std::fflush(stdout);
            results.cacheReads.push_back(MeasureCacheReads(items, options.settings));
        }
    }
    if (wants(L"additems")) RunAddItems(options, sizesOr(kAddItemsCounts), results);
    if (wants(L"read2")) {
        for (const std::size_t items : sizesOr({1, kReadItemsPerCall})) {
            std::printf("asynchronous reads, %zu items per request...\n", items);
            std::fflush(stdout);
            results.read2s.push_back(MeasureRead2(items, options.settings));
        }
    }
    if (wants(L"browse")) {
        std::printf("flat browsing...\n");
        std::fflush(stdout);
        results.browses.push_back(MeasureBrowseFlat(options.settings));
    }
    if (wants(L"lookup")) {
        for (const std::size_t points : sizesOr(kLookupPoints)) {
            const std::size_t items = std::min(kLookupItems, points);
            for (const bool listed : {false, true}) {
                std::printf("item creation, %zu bench points %s...\n", points, listed ? "listed" : "not listed");
                std::fflush(stdout);
                results.lookups.push_back(MeasureLookup(points, listed, items));
            }
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fputs("CoInitializeEx failed\n", stderr);
        return 1;
    }
    UseLocalServer(options.localServer);
    Results results;
    results.wineVersion = WineVersion();
    results.processors = ProcessorCount();
    results.cpuClock = ProcessCpuClock();
    results.loadBefore = ReadLoad(results, "run start");
    results.settings = options.settings;
    results.addItemsCapSeconds = options.capSeconds;
    int status = 0;
    try {
        Run(options, results);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "twopc-bench: %s\n", failure.what());
        status = 1;
    }
    results.loadAfter = ReadLoad(results, "run end");
    PrintTables(results);
    try {
        WriteJson(results, options.json);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "twopc-bench: %s\n", failure.what());
        status = 1;
    }
    CoUninitialize();
    return status;
}
