#include "Measure.h"

#include <psapi.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <vector>

namespace bench {
namespace {

std::uint64_t Ticks(const FILETIME& time) noexcept
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t WindowsProcessCpuTime()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return Ticks(kernel) + Ticks(user);
}

std::optional<std::string> ReadSmallFile(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    char buffer[4096];
    DWORD read = 0;
    const bool ok = ReadFile(file, buffer, sizeof(buffer), &read, nullptr) != FALSE;
    CloseHandle(file);
    if (!ok) return std::nullopt;
    return std::string(buffer, read);
}

// The names of the entries of a folder, "." and ".." left out.
std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool AllDigits(const std::wstring& text)
{
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// Under Wine, the Linux processes (/proc entries) whose name is `comm`.
std::vector<std::wstring> LinuxProcessesNamed(const std::string& comm)
{
    std::vector<std::wstring> found;
    for (const std::wstring& entry : FolderEntries(L"Z:\\proc")) {
        if (!AllDigits(entry)) continue;
        const auto text = ReadSmallFile(L"Z:\\proc\\" + entry + L"\\comm");
        if (text && text->substr(0, text->find('\n')) == comm) found.push_back(entry);
    }
    return found;
}

// The sum of the run times of the threads in a /proc task folder, in 100 ns units.
std::uint64_t TaskFolderCpuTime(const std::wstring& taskFolder)
{
    std::uint64_t nanoseconds = 0;
    for (const std::wstring& task : FolderEntries(taskFolder)) {
        // schedstat: run time (ns), wait time (ns), time slices.
        if (const auto text = ReadSmallFile(taskFolder + L"\\" + task + L"\\schedstat")) {
            nanoseconds += std::strtoull(text->c_str(), nullptr, 10);
        }
    }
    return nanoseconds / 100;
}

// Under Wine, this process as Linux sees it. Wine opens files in its server process, so
// /proc/self would name the server: the process is found by its name (the executable's file
// name, cut to the 15 characters Linux keeps) and, among several, by its start time.
class LinuxProcess {
public:
    static const LinuxProcess& Instance()
    {
        static const LinuxProcess process;
        return process;
    }

    bool Found() const noexcept { return !taskFolder_.empty(); }

    // The sum of the run times of the process's threads, in 100 ns units.
    std::uint64_t CpuTime() const { return TaskFolderCpuTime(taskFolder_); }

private:
    LinuxProcess()
    {
        if (WineVersion().empty()) return;
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (length == 0 || length == MAX_PATH) return;
        std::wstring name(path, length);
        name.erase(0, name.find_last_of(L"\\/") + 1);
        const std::string comm = std::string(name.begin(), name.end()).substr(0, 15);

        std::vector<std::wstring> candidates = LinuxProcessesNamed(comm);
        if (candidates.size() > 1) candidates = {ClosestByStartTime(candidates)};
        if (candidates.size() == 1 && !candidates.front().empty()) {
            taskFolder_ = L"Z:\\proc\\" + candidates.front() + L"\\task";
        }
    }

    // The candidate whose start time is nearest to this process's creation time; empty
    // when none is within a few seconds of it.
    static std::wstring ClosestByStartTime(const std::vector<std::wstring>& candidates)
    {
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return {};
        const auto stat = ReadSmallFile(L"Z:\\proc\\stat");
        if (!stat) return {};
        const std::size_t btime = stat->find("btime ");
        if (btime == std::string::npos) return {};
        const std::uint64_t bootSeconds = std::strtoull(stat->c_str() + btime + 6, nullptr, 10);
        constexpr std::uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000;
        constexpr std::uint64_t kClockTicksPerSecond = 100;  // USER_HZ
        std::wstring closest;
        std::uint64_t closestDistance = 5 * 10'000'000ull;
        for (const std::wstring& candidate : candidates) {
            const auto text = ReadSmallFile(L"Z:\\proc\\" + candidate + L"\\stat");
            if (!text) continue;
            // The fields after the name in parentheses; start time is the 20th of them.
            std::istringstream fields(text->substr(text->rfind(')') + 2));
            std::string field;
            for (int i = 0; i < 20 && fields >> field; ++i) {
            }
            const std::uint64_t startTicks = std::strtoull(field.c_str(), nullptr, 10);
            const std::uint64_t started =
                kUnixEpochAsFileTime + bootSeconds * 10'000'000 + startTicks * (10'000'000 / kClockTicksPerSecond);
            const std::uint64_t creation = Ticks(created);
            const std::uint64_t distance = started > creation ? started - creation : creation - started;
            if (distance < closestDistance) {
                closestDistance = distance;
                closest = candidate;
            }
        }
        return closest;
    }

    std::wstring taskFolder_;
};

}  // namespace

std::uint64_t ProcessCpuTime()
{
    const LinuxProcess& process = LinuxProcess::Instance();
    return process.Found() ? process.CpuTime() : WindowsProcessCpuTime();
}

std::uint64_t OtherProcessCpuTime(const char* executableName)
{
    const std::vector<std::wstring> found = LinuxProcessesNamed(executableName);
    return found.size() == 1 ? TaskFolderCpuTime(L"Z:\\proc\\" + found.front() + L"\\task") : 0;
}

const char* ProcessCpuClock()
{
    return LinuxProcess::Instance().Found() ? "schedstat" : "GetProcessTimes";
}

std::uint64_t ThreadCpuTime(DWORD threadId)
{
    if (threadId == 0) return 0;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (!thread) return 0;
    FILETIME created, exited, kernel, user;
    const bool read = GetThreadTimes(thread, &created, &exited, &kernel, &user) != FALSE;
    CloseHandle(thread);
    return read ? Ticks(kernel) + Ticks(user) : 0;
}

double Stopwatch::Seconds() const noexcept
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string WineVersion()
{
    // Wine's ntdll exports its version; Windows' does not.
    using WineGetVersionFn = const char*(CDECL*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto wineGetVersion =
        ntdll ? reinterpret_cast<WineGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
              : nullptr;
    return wineGetVersion ? std::string("wine-") + wineGetVersion() : std::string();
}

unsigned ProcessorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::string LoadAverage()
{
    if (WineVersion().empty()) return {};
    const auto text = ReadSmallFile(L"Z:\\proc\\loadavg");
    if (!text) return {};
    std::istringstream fields(*text);
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double OneMinuteLoad(const std::string& loadAverage)
{
    char* end = nullptr;
    const double load = std::strtod(loadAverage.c_str(), &end);
    return end == loadAverage.c_str() ? std::nan("") : load;
}

MemoryUse ProcessMemory()
{
    MemoryUse use;
    // The commit charge (private bytes): PrivateUsage says the same on Windows, but Wine
    // leaves it 0 and fills this one from the anonymous resident memory and swap.
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        use.privateBytes = counters.PagefileUsage;
        use.workingSet = counters.WorkingSetSize;
    }
    // Heaps may come and go between the two calls: ask again with room to spare.
    std::vector<HANDLE> heaps(64);
    for (;;) {
        const DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
        if (count <= heaps.size()) {
            heaps.resize(count);
            break;
        }
        heaps.resize(count + 16);
    }
    for (const HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) use.heapBytes += entry.cbData;
        }
        HeapUnlock(heap);
    }
    return use;
}

double NanosecondsEach(std::uint64_t cpuTime, std::uint64_t count) noexcept
{
    return count == 0 ? 0.0 : static_cast<double>(cpuTime) * 100.0 / static_cast<double>(count);
}

}  // namespace bench
