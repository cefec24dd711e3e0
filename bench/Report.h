#pragma once
// The benchmark's results: a table on standard output and a JSON file.

#include "Scenarios.h"

#include <string>
#include <vector>

namespace bench {

// A run is called clean when no 1-minute load average read during it was above this: other
// work on the two cores skews every figure, wall-clock figures most.
inline constexpr double kCleanLoad = 0.6;

// One reading of the load averages, and when in the run it was taken.
struct LoadReading {
    std::string when;         // "run start", "updates 1000 items, before" ...
    std::string loadAverage;  // as LoadAverage() gives it; empty where there is none
};

struct Results {
    std::string wineVersion;
    std::string cpuClock;
    std::string loadBefore;  // load averages when the run began and ended
    std::string loadAfter;
    unsigned processors = 0;
    Settings settings;
    std::vector<unsigned> updateRatesMs;  // the rates the updates scenario ran at
    double addItemsCapSeconds = 0;         // 0: no cap
    // Every reading of the run, in order: its start and end, and around each update size.
    std::vector<LoadReading> loads;
    std::vector<FloorResult> floors;
    std::vector<UpdateResult> updates;
    std::vector<CacheReadResult> cacheReads;
    std::vector<AddItemsResult> addItems;
    std::vector<LookupResult> lookups;
    std::vector<Read2Result> read2s;
    std::vector<BrowseFlatResult> browses;
};

void PrintUpdate(const UpdateResult& update);
void PrintAddItems(const AddItemsResult& addItems);
void PrintTables(const Results& results);
// Throws std::runtime_error when the file cannot be written.
void WriteJson(const Results& results, const std::wstring& path);

}  // namespace bench
