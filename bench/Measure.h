#pragma once
// Clocks for the benchmark: wall time from the performance counter, CPU time from the
// process and thread accounting. CPU times are in 100 ns units, as Windows reports them.

#include <windows.h>

#include <cstdint>
#include <string>

namespace bench {

// CPU time of the process. Under Wine, where the process is a Linux process, it is the sum
// of its threads' scheduler run times (nanosecond resolution; threads that have ended are
// not counted, so take differences only across spans in which no thread ends). Elsewhere,
// and when the Linux process cannot be identified, the user + kernel time that
// GetProcessTimes reports, which Wine counts in whole 10 ms clock ticks.
std::uint64_t ProcessCpuTime();
// Under Wine, the CPU time of the one other process running `executableName` (as
// ProcessCpuTime counts it); 0 elsewhere, or when there is not exactly one.
std::uint64_t OtherProcessCpuTime(const char* executableName);
// "schedstat" or "GetProcessTimes": which of the two ProcessCpuTime uses.
const char* ProcessCpuClock();
// User + kernel time of one thread of this process (GetThreadTimes: whole clock ticks under
// Wine); 0 when it cannot be opened.
std::uint64_t ThreadCpuTime(DWORD threadId);

class Stopwatch {
public:
    Stopwatch() noexcept { Restart(); }
    void Restart() noexcept { QueryPerformanceCounter(&start_); }
    double Seconds() const noexcept;

private:
    LARGE_INTEGER start_{};
};

// "wine-8.0" and the like under Wine; empty on Windows itself.
std::string WineVersion();
unsigned ProcessorCount();
// Under Wine, the host's load averages over 1, 5 and 15 minutes ("0.52 0.40 0.31"); empty
// elsewhere. Other work on the machine skews every figure here.
std::string LoadAverage();
// The 1-minute figure of a LoadAverage() text; not a number when there is none.
double OneMinuteLoad(const std::string& loadAverage);

// The memory the process holds, in bytes. Growth of the heaps' busy bytes is exact for what
// was allocated in between; private bytes and working set are what the system sees, and grow
// less than was allocated when the heaps reuse memory that earlier work freed.
struct MemoryUse {
    std::uint64_t heapBytes = 0;     // busy blocks of every heap of the process
    std::uint64_t privateBytes = 0;  // under Wine: anonymous resident memory and swap
    std::uint64_t workingSet = 0;
};
// Walks every heap under its lock: threads that allocate meanwhile wait for it. Take it
// outside measuring windows.
MemoryUse ProcessMemory();

// Nanoseconds per unit for a CPU time in 100 ns units spread over `count` units; 0 for none.
double NanosecondsEach(std::uint64_t cpuTime, std::uint64_t count) noexcept;

}  // namespace bench
