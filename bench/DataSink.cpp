#include "DataSink.h"

#include <cmath>
#include <utility>

namespace bench {

DataSink::DataSink(std::size_t items, std::size_t groups) : lastCall_(groups + 1, 0), lastTick_(items, -1) {}

DataSink::Counts DataSink::Snapshot() const noexcept
{
    Counts counts;
    counts.callbacks = callbacks_.load(std::memory_order_relaxed);
    counts.items = items_.load(std::memory_order_relaxed);
    counts.skippedTicks = skippedTicks_.load(std::memory_order_relaxed);
    counts.notGood = notGood_.load(std::memory_order_relaxed);
    counts.itemsSeenOnce = itemsSeenOnce_.load(std::memory_order_relaxed);
    counts.thread = thread_.load(std::memory_order_relaxed);
    counts.intervals = intervals_.load(std::memory_order_relaxed);
    counts.intervalSumMs = intervalSumMs_.load(std::memory_order_relaxed);
    counts.intervalMinMs = counts.intervals ? intervalMinMs_.load(std::memory_order_relaxed) : 0.0;
    counts.intervalMaxMs = intervalMaxMs_.load(std::memory_order_relaxed);
    return counts;
}

HRESULT DataSink::OnDataChange(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                               VARIANT* pvValues, WORD* pwQualities, FILETIME*, HRESULT* pErrors)
{
    if (hGroup < lastCall_.size()) {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        const LONGLONG previous = std::exchange(lastCall_[hGroup], now.QuadPart);
        if (previous != 0 && windowOpen_.load(std::memory_order_relaxed)) {
            // One writer per group, and one scan thread: plain read-modify-write is enough.
            const double ms = static_cast<double>(now.QuadPart - previous) * 1000.0 / static_cast<double>(frequency.QuadPart);
            intervals_.store(intervals_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            intervalSumMs_.store(intervalSumMs_.load(std::memory_order_relaxed) + ms, std::memory_order_relaxed);
            if (ms < intervalMinMs_.load(std::memory_order_relaxed)) intervalMinMs_.store(ms, std::memory_order_relaxed);
            if (ms > intervalMaxMs_.load(std::memory_order_relaxed)) intervalMaxMs_.store(ms, std::memory_order_relaxed);
        }
    }
    std::uint64_t skipped = 0;
    std::uint64_t notGood = 0;
    std::uint64_t firstSeen = 0;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCHANDLE item = phClientItems[i];
        const VARIANT& value = pvValues[i];
        if (FAILED(pErrors[i]) || pwQualities[i] != OPC_QUALITY_GOOD || value.vt != VT_R8 || item >= lastTick_.size()) {
            ++notGood;
            continue;
        }
        // Rounded by hand: the ticks are positive, and msvcrt's llround is a call per value.
        const std::int64_t tick = static_cast<std::int64_t>(value.dblVal - static_cast<double>(item) * 0.001 + 0.5);
        std::int64_t& last = lastTick_[item];
        if (last < 0) {
            ++firstSeen;
        } else if (tick > last + 1) {
            skipped += static_cast<std::uint64_t>(tick - last - 1);
        }
        last = tick;
    }
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    items_.fetch_add(dwCount, std::memory_order_relaxed);
    if (skipped) skippedTicks_.fetch_add(skipped, std::memory_order_relaxed);
    if (notGood) notGood_.fetch_add(notGood, std::memory_order_relaxed);
    if (firstSeen) itemsSeenOnce_.fetch_add(firstSeen, std::memory_order_relaxed);
    thread_.store(GetCurrentThreadId(), std::memory_order_relaxed);
    return S_OK;
}

}  // namespace bench
