#pragma once
// The asynchronous I/O thread of the process and its queue of transactions. One
// instance is shared by all server instances (SharedManager).

#include "twopc/io/WorkerThread.h"

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

    DWORD ThreadId() const noexcept { return m_worker.ThreadId(); }

private:
    void Run();

    // The work event is manual-reset: it stays signalled exactly while the queue is not empty.
    WorkerThread m_worker{true};
};

}  // namespace twopc::io
