#include "twopc/io/AsyncIOMgr.h"

#include "twopc/io/SharedManager.h"

namespace twopc::io {

using orv::com::CSingleLock;

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

CAsyncIOMgr* CAsyncIOMgr::Current()
{
    return Shared().Current();
}

HRESULT CAsyncIOMgr::Enqueue(std::unique_ptr<CTransaction> transaction)
{
    CSingleLock hold(m_queueLock);
    m_queue.push_back(std::move(transaction));
    SetEvent(m_worker.WorkEvent());
    return S_OK;
}

std::unique_ptr<CTransaction> CAsyncIOMgr::Cancel(DWORD transactionId)
{
    CSingleLock hold(m_queueLock);
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if ((*it)->TransactionId() != transactionId) continue;
        std::unique_ptr<CTransaction> cancelled = std::move(*it);
        m_queue.erase(it);
        if (m_queue.empty()) ResetEvent(m_worker.WorkEvent());
        return cancelled;
    }
    return nullptr;
}

std::unique_ptr<CTransaction> CAsyncIOMgr::Take()
{
    CSingleLock hold(m_queueLock);
    if (m_queue.empty()) return nullptr;
    std::unique_ptr<CTransaction> front = std::move(m_queue.front());
    m_queue.pop_front();
    if (m_queue.empty()) ResetEvent(m_worker.WorkEvent());
    return front;
}

void CAsyncIOMgr::Run()
{
    while (!m_worker.WaitForWorkOrStop(INFINITE)) {
        // Empty when a Cancel took the last one after the event was seen.
        if (std::unique_ptr<CTransaction> transaction = Take()) {
            try {
                transaction->Execute();
            } catch (...) {
                // Out of memory half-way: the request is dropped without a completion, as a
                // cancelled one is, and the thread goes on with the next.
            }
        }
    }
    // Stopping: what still waits is dropped without a completion.
    while (Take()) {
    }
}

}  // namespace twopc::io
