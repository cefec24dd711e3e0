#pragma once
// The asynchronous I/O thread of the process and its first-in, first-out queue of
// transactions. One instance is shared by all server instances (SharedManager). The
// thread executes one transaction at a time, in submission order; Cancel takes one out
// that is still waiting.

#include "orv/com/CriticalSection.h"
#include "twopc/io/Transactions.h"
#include "twopc/io/WorkerThread.h"

#include <list>
#include <memory>

namespace twopc::io {

class CAsyncIOMgr {
public:
    CAsyncIOMgr();
    virtual ~CAsyncIOMgr();
    CAsyncIOMgr(const CAsyncIOMgr&) = delete;
    CAsyncIOMgr& operator=(const CAsyncIOMgr&) = delete;

    static CAsyncIOMgr* Attach();
    static void Detach();
    static unsigned Users();
    // The manager while any server instance is attached, else null.
    static CAsyncIOMgr* Current();

    DWORD ThreadId() const noexcept { return m_worker.ThreadId(); }
    WorkerThread& Worker() noexcept { return m_worker; }

    // Takes ownership; the thread runs it later. Called with the group lock held.
    HRESULT Enqueue(std::unique_ptr<CTransaction> transaction);
    // The queued transaction with that ID, taken out of the queue; null when none waits.
    std::unique_ptr<CTransaction> Cancel(DWORD transactionId);

private:
    void Run();
    std::unique_ptr<CTransaction> Take();

    // The work event is manual-reset: it stays signalled exactly while the queue is not empty.
    WorkerThread m_worker{true};
    orv::com::CCriticalSection m_queueLock;
    std::list<std::unique_ptr<CTransaction>> m_queue;
};

}  // namespace twopc::io
