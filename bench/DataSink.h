#pragma once
// The benchmark's IOPCDataCallback: counts what OnDataChange brings, and follows each bench
// item's value to see which clock ticks never reached the client.
//
// A bench point i holds tick + i * 0.001, and the items are added with client handle i, so
// the tick of every reported value is known: a step of more than one tick between two
// reports of an item means ticks whose values were overwritten before they were reported.
//
// Threading: OnDataChange runs on the server's update-scan thread; Snapshot may be called
// from any thread. Lives on the benchmark's stack: the reference count only has to come
// back to 1 once every group has let go of it.

#include "orv/com/StackObject.h"

#include <opcda.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace bench {

class DataSink final : public orv::com::StackObject<IOPCDataCallback> {
public:
    // Item client handles must be below `items`, group client handles at most `groups`.
    DataSink(std::size_t items, std::size_t groups);
    DataSink(const DataSink&) = delete;
    DataSink& operator=(const DataSink&) = delete;

    struct Counts {
        std::uint64_t callbacks = 0;
        std::uint64_t items = 0;          // item updates delivered
        std::uint64_t skippedTicks = 0;   // ticks whose value an item never reported
        std::uint64_t notGood = 0;        // items with a failure, a quality other than good or no number
        std::uint64_t itemsSeenOnce = 0;  // distinct items reported so far
        DWORD thread = 0;                 // the thread of the last OnDataChange
        // Intervals between two OnDataChange calls of one group while the window was open.
        std::uint64_t intervals = 0;
        double intervalSumMs = 0;
        double intervalMinMs = 0;
        double intervalMaxMs = 0;
    };
    Counts Snapshot() const noexcept;
    // Interval statistics are kept only while the window is open.
    void OpenWindow() noexcept { windowOpen_.store(true); }
    void CloseWindow() noexcept { windowOpen_.store(false); }

    // IOPCDataCallback
    IFACEMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    IFACEMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                  HRESULT*) override
    {
        ++readCompletes_;
        return S_OK;
    }
    // OnReadComplete calls so far.
    std::uint64_t ReadCompletes() const noexcept { return readCompletes_; }
    IFACEMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    IFACEMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    std::atomic<std::uint64_t> readCompletes_{0};
    std::atomic<std::uint64_t> callbacks_{0};
    std::atomic<std::uint64_t> items_{0};
    std::atomic<std::uint64_t> skippedTicks_{0};
    std::atomic<std::uint64_t> notGood_{0};
    std::atomic<std::uint64_t> itemsSeenOnce_{0};
    std::atomic<DWORD> thread_{0};
    std::atomic<bool> windowOpen_{false};
    std::atomic<std::uint64_t> intervals_{0};
    std::atomic<double> intervalSumMs_{0};
    std::atomic<double> intervalMinMs_{1e300};
    std::atomic<double> intervalMaxMs_{0};
    // Per group (by client handle), the performance counter at its last OnDataChange.
    std::vector<LONGLONG> lastCall_;
    // Per item, the tick of its last reported value; -1 before the first. Each group's
    // items are disjoint, so concurrent callbacks of different groups never share an entry.
    std::vector<std::int64_t> lastTick_;
};

}  // namespace bench
