#pragma once
// The update-scan thread of the process and its schedule of active groups. One instance
// is shared by all server instances (SharedManager).

#include "twopc/io/Schedule.h"
#include "twopc/io/WorkerThread.h"

#include <cstdint>

namespace twopc::io {

class CUpdateScanMgr {
public:
    CUpdateScanMgr();
    virtual ~CUpdateScanMgr();
    CUpdateScanMgr(const CUpdateScanMgr&) = delete;
    CUpdateScanMgr& operator=(const CUpdateScanMgr&) = delete;

    static CUpdateScanMgr* Attach();
    static void Detach();
    // Number of attached server instances; for diagnostics and tests.
    static unsigned Users();

    DWORD ThreadId() const noexcept { return m_worker.ThreadId(); }
    WorkerThread& Worker() noexcept { return m_worker; }
    CUpdateSchedule& Schedule() noexcept { return m_schedule; }

    // Performance-counter ticks per millisecond, fixed when the library is loaded.
    static std::int64_t TicksPerMillisecond() noexcept;

private:
    // Consecutive failed scans after which a group is made inactive and leaves the schedule.
    static constexpr unsigned kFailedScansBeforeDeactivation = 3;

    void Run();
    // Blocks until a group is due; null once the manager is stopping.
    IScheduledGroup* NextDueGroup();

    WorkerThread m_worker{false};
    CUpdateSchedule m_schedule{m_worker.WorkEvent(), TicksPerMillisecond()};
};

}  // namespace twopc::io
