#include "twopc/io/UpdateScanMgr.h"

#include "twopc/io/SharedManager.h"

namespace twopc::io {
namespace {

SharedManager<CUpdateScanMgr>& Shared()
{
    static SharedManager<CUpdateScanMgr> shared;
    return shared;
}

std::int64_t ReadTicksPerMillisecond() noexcept
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart / 1000;
}

const std::int64_t g_ticksPerMillisecond = ReadTicksPerMillisecond();

}  // namespace

CUpdateScanMgr::CUpdateScanMgr()
{
    m_worker.Start([this] { Run(); });
}

CUpdateScanMgr::~CUpdateScanMgr()
{
    m_worker.Stop();
}

CUpdateScanMgr* CUpdateScanMgr::Attach()
{
    return Shared().Attach();
}

void CUpdateScanMgr::Detach()
{
    Shared().Detach();
}

unsigned CUpdateScanMgr::Users()
{
    return Shared().Users();
}

std::int64_t CUpdateScanMgr::TicksPerMillisecond() noexcept
{
    return g_ticksPerMillisecond;
}

IScheduledGroup* CUpdateScanMgr::NextDueGroup()
{
    // Due within about a millisecond, or overdue, counts as due now.
    const std::int64_t tolerance = static_cast<std::uint32_t>(TicksPerMillisecond());
    for (;;) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        CUpdateSchedule::Due due = m_schedule.PopDue(now.QuadPart, tolerance);
        if (due.group) return due.group;
        if (m_worker.WaitForWorkOrStop(due.waitMs)) return nullptr;
    }
}

void CUpdateScanMgr::Run()
{
    ScanArrays arrays;
    while (IScheduledGroup* group = NextDueGroup()) {
        std::int64_t nextDue = 0;
        bool scanned = false;
        try {
            scanned = group->Scan(nextDue, arrays);
        } catch (...) {
            // Out of memory for the scan's arrays or a value's copy: a failed scan, counted
            // like any other, rather than the end of the thread and of the client's process.
        }
        bool kept;
        {
            // A group deactivated or removed meanwhile never goes back: its removal may be
            // waiting for this entry's pending use.
            orv::com::CSingleLock hold(group->Lock());
            kept = group->KeepScheduleEntry(scanned, kFailedScansBeforeDeactivation);
            if (kept) m_schedule.Reinsert(group, nextDue);
        }
        if (!kept) group->DropPendingUse();
    }
    // Each entry still in the schedule carries a reference and a pending-use hold.
    while (IScheduledGroup* group = m_schedule.TakeAny()) group->DropScheduleEntry();
}

}  // namespace twopc::io
