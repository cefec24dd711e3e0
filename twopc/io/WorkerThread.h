#pragma once
// A worker thread in the multithreaded apartment that waits on a stop event and one
// work event. Owners call Start once their own state is ready and Stop (which joins)
// before tearing it down; Stop must never run inside DllMain (loader lock).

#include "orv/com/Owners.h"

#include <functional>

namespace twopc::io {

class WorkerThread {
public:
    // `workIsManualReset` selects the kind of the work event.
    explicit WorkerThread(bool workIsManualReset);
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // `body` runs on the new thread inside CoInitializeEx/CoUninitialize.
    void Start(std::function<void()> body);
    // Signals the stop event and joins the thread; on the thread itself it only signals.
    void Stop();
    // For an owner released on its own thread (a client that lets go of the last server
    // from inside a callback): the thread stops, and once its body has returned it calls
    // `destroyOwner`, which may destroy this object.
    void DestroyOwnerWhenDone(std::function<void()> destroyOwner);
    bool IsCurrentThread() const noexcept { return m_thread && GetCurrentThreadId() == m_threadId; }
    // True on any worker thread (the update scan's or the asynchronous I/O's). A removal
    // made on one (a client removing a group from inside a callback) must not wait for the
    // group's pending uses: one of them may be the very work that made the callback.
    static bool OnWorkerThread() noexcept;

    HANDLE StopEvent() const noexcept { return m_stop.Get(); }
    HANDLE WorkEvent() const noexcept { return m_work.Get(); }
    DWORD ThreadId() const noexcept { return m_threadId; }
    bool Running() const noexcept { return static_cast<bool>(m_thread); }

    // Waits for the stop event (true) or the work event / time-out (false).
    bool WaitForWorkOrStop(DWORD timeoutMs) const;

private:
    static DWORD WINAPI ThreadMain(void* self);

    orv::com::UniqueHandle m_stop;
    orv::com::UniqueHandle m_work;
    orv::com::UniqueHandle m_thread;
    DWORD m_threadId = 0;
    std::function<void()> m_body;
    std::function<void()> m_destroyOwner;
};

}  // namespace twopc::io
