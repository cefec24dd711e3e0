#pragma once
// The one process-wide instance of a worker manager, shared by every server instance:
// the first attach creates it (with its thread), the last detach destroys it (joining
// the thread). Attach and detach are the only users of the lock. A manager still attached
// when the library unloads is left alone: joining its thread under the loader lock would hang.

#include "orv/com/CriticalSection.h"

#include <utility>

namespace twopc::io {

template <class Manager>
class SharedManager {
public:
    Manager* Attach()
    {
        orv::com::CSingleLock hold(m_lock);
        if (m_users == 0) m_manager = new Manager();
        ++m_users;
        return m_manager;
    }

    void Detach()
    {
        orv::com::CSingleLock hold(m_lock);
        if (m_users == 0) return;
        if (--m_users == 0) {
            Manager* manager = std::exchange(m_manager, nullptr);
            // Released from inside a callback on the manager's own thread: that thread
            // cannot join itself, so it destroys the manager once it has left its loop.
            if (manager->Worker().IsCurrentThread())
                manager->Worker().DestroyOwnerWhenDone([manager] { delete manager; });
            else
                delete manager;
        }
    }

    Manager* Current()
    {
        orv::com::CSingleLock hold(m_lock);
        return m_manager;
    }

    unsigned Users()
    {
        orv::com::CSingleLock hold(m_lock);
        return m_users;
    }

private:
    orv::com::CCriticalSection m_lock;
    unsigned m_users = 0;
    Manager* m_manager = nullptr;
};

}  // namespace twopc::io
