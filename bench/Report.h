#pragma once
// The benchmark's results: a table on standard output and a JSON file.

#include "Scenarios.h"

#include <string>
#include <vector>

namespace bench {

struct Results {
    std::string wineVersion;
    std::string cpuClock;
    std::string loadBefore;  // load averages when the run began and ended
    std::string loadAfter;
    unsigned processors = 0;
    Settings settings;
    std::vector<FloorResult> floors;
    std::vector<UpdateResult> updates;
    std::vector<CacheReadResult> cacheReads;
    std::vector<AddItemsResult> addItems;
    std::vector<LookupResult> lookups;
    std::vector<Read2Result> read2s;
    std::vector<BrowseFlatResult> browses;
};

void PrintUpdate(const UpdateResult& update);
void PrintTables(const Results& results);
// Throws std::runtime_error when the file cannot be written.
void WriteJson(const Results& results, const std::wstring& path);

}  // namespace bench
