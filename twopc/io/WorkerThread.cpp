#include "twopc/io/WorkerThread.h"

#include <objbase.h>

namespace twopc::io {
namespace {

thread_local bool t_onWorkerThread = false;

}  // namespace

bool WorkerThread::OnWorkerThread() noexcept
{
    return t_onWorkerThread;
}

WorkerThread::WorkerThread(bool workIsManualReset)
    : m_stop(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_work(CreateEventA(nullptr, workIsManualReset, FALSE, nullptr))
{
}

WorkerThread::~WorkerThread()
{
    Stop();
}

void WorkerThread::Start(std::function<void()> body)
{
    m_body = std::move(body);
    m_thread.Reset(CreateThread(nullptr, 0, &WorkerThread::ThreadMain, this, 0, &m_threadId));
}

void WorkerThread::Stop()
{
    if (!m_thread) return;
    SetEvent(m_stop.Get());
    if (IsCurrentThread()) return;  // a thread cannot wait for itself
    WaitForSingleObject(m_thread.Get(), INFINITE);
    m_thread.Reset();
}

void WorkerThread::DestroyOwnerWhenDone(std::function<void()> destroyOwner)
{
    m_destroyOwner = std::move(destroyOwner);
    SetEvent(m_stop.Get());
}

bool WorkerThread::WaitForWorkOrStop(DWORD timeoutMs) const
{
    const HANDLE waitList[] = {m_stop.Get(), m_work.Get()};
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, waitList, FALSE, timeoutMs);
        if (result == WAIT_OBJECT_0) return true;
        if (result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT) return false;
        // Anything else is a fault of the wait itself; waiting again is all there is to do.
    }
}

DWORD WINAPI WorkerThread::ThreadMain(void* self)
{
    auto* worker = static_cast<WorkerThread*>(self);
    t_onWorkerThread = true;
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    worker->m_body();
    if (SUCCEEDED(init)) CoUninitialize();
    // Taken out first: destroying the owner destroys *worker.
    if (std::function<void()> destroyOwner = std::move(worker->m_destroyOwner)) destroyOwner();
    return 0;
}

}  // namespace twopc::io
