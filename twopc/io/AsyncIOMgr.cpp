#include "twopc/io/AsyncIOMgr.h"

#include "twopc/io/SharedManager.h"

namespace twopc::io {
namespace {

SharedManager<CAsyncIOMgr>& Shared()
{
    static SharedManager<CAsyncIOMgr> shared;
    return shared;
}

}  // namespace

CAsyncIOMgr::CAsyncIOMgr()
{
    m_worker.Start([this] { Run(); });
}

CAsyncIOMgr::~CAsyncIOMgr()
{
    m_worker.Stop();
}

CAsyncIOMgr* CAsyncIOMgr::Attach()
{
    return Shared().Attach();
}

void CAsyncIOMgr::Detach()
{
    Shared().Detach();
}

unsigned CAsyncIOMgr::Users()
{
    return Shared().Users();
}

void CAsyncIOMgr::Run()
{
    // No transaction can be queued yet: sleep until stopped.
    while (!m_worker.WaitForWorkOrStop(INFINITE)) {
    }
}

}  // namespace twopc::io
