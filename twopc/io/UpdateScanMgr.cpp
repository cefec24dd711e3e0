#include "twopc/io/UpdateScanMgr.h"

#include "twopc/group/OPCGroup.h"
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

void CUpdateScanMgr::Run()
{
    while (!m_worker.WaitForWorkOrStop(INFINITE)) {
    }
    // Each entry still in the schedule carries a reference and a pending-use hold.
    while (group::COPCGroup* group = m_schedule.TakeAny()) {
        group->DropPendingUse();
        group->Release();
    }
}

}  // namespace twopc::io
