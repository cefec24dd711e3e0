// twopc-bench: measures the server as an OPC client uses it, against the simulator's bench
// points. See docs/performance.md for the method and the figures.
//
//   twopc-bench [--scenario all|updates|read|additems|lookup|read2|browse] [--items N[,N...]]
//               [--seconds S] [--warmup S] [--json path] [--context inproc|local]
//
// With --context local the server runs in its local server host (twopcsrv.exe, registered
// with /RegServer, and twopcps.dll registered): only updates and read2 run then.

#include "Measure.h"
#include "OpcClient.h"
#include "Report.h"
#include "Scenarios.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace bench;

const std::vector<std::size_t> kUpdateSizes = {1'000, 10'000, 100'000};
constexpr std::size_t kReadItemsPerCall = 1'000;
constexpr std::size_t kAddItemsCount = 100'000;
// Listed, every item creation lists all bench points again: kept small enough to finish.
const std::vector<std::size_t> kLookupPoints = {1'000, 10'000};
constexpr std::size_t kLookupItems = 200;

struct Options {
    std::wstring scenario = L"all";
    std::vector<std::size_t> items;  // empty: each scenario's own sizes
    Settings settings;
    std::wstring json = L"bench-results.json";
    bool localServer = false;
};

void Usage()
{
    std::fputs("usage: twopc-bench [--scenario all|updates|read|additems|lookup|read2|browse] [--items N[,N...]]\n"
               "                   [--seconds S] [--warmup S] [--json path] [--context inproc|local]\n",
               stderr);
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
        } else {
            return false;
        }
    }
    const std::wstring& s = options.scenario;
    if (options.localServer) return s == L"updates" || s == L"read2";
    return s == L"all" || s == L"updates" || s == L"read" || s == L"additems" || s == L"lookup" || s == L"read2" ||
           s == L"browse";
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
        for (const std::size_t items : sizesOr(kUpdateSizes)) {
            FloorResult floor;  // the simulator runs in the host, out of reach, with the local server
            if (!options.localServer) {
                std::printf("updates, %zu items: simulator alone...\n", items);
                std::fflush(stdout);
                floor = MeasureFloor(items, options.settings);
                results.floors.push_back(floor);
            }
            std::printf("updates, %zu items: through the %s server...\n", items,
                        options.localServer ? "local" : "in-process");
            std::fflush(stdout);
            results.updates.push_back(MeasureUpdates(items, floor, options.settings));
            PrintUpdate(results.updates.back());
        }
    }
    if (wants(L"read")) {
        for (const std::size_t items : sizesOr({kReadItemsPerCall})) {
            std::printf("cache reads, %zu items per call...\n", items);
            std::fflush(stdout);
            results.cacheReads.push_back(MeasureCacheReads(items, options.settings));
        }
    }
    if (wants(L"additems")) {
        for (const std::size_t items : sizesOr({kAddItemsCount})) {
            std::printf("AddItems of %zu items...\n", items);
            std::fflush(stdout);
            results.addItems.push_back(MeasureAddItems(items));
        }
    }
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
    results.loadBefore = LoadAverage();
    results.settings = options.settings;
    int status = 0;
    try {
        Run(options, results);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "twopc-bench: %s\n", failure.what());
        status = 1;
    }
    results.loadAfter = LoadAverage();
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
