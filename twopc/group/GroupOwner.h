#pragma once
// What a group sees of the server that owns it, and the link through which it reaches it.

#include <windows.h>
#include <opcda.h>

#include <string>
#include <utility>

namespace twopc::group {

class COPCGroup;

class CGroupOwner {
public:
    // Moves `group` from `oldName` (empty when it has none yet) to `newName` in the
    // server's name map, under the group-map lock. OPC_E_DUPLICATENAME when `newName`
    // is taken, including by the group itself; E_FAIL when `oldName` is no longer the
    // group's entry (the group is being removed).
    virtual HRESULT RenameGroup(COPCGroup* group, const std::wstring& oldName, const std::wstring& newName) = 0;

    // A fresh "$Group_...$" name from the shared number space.
    virtual std::wstring GenerateGroupName() = 0;

    // A data-change notification reached a client: the server's last update time.
    // Must not wait for the server lock.
    virtual void NoteDataDelivered() = 0;

    // The server's own IOPCServer, for CloneGroup; no reference is added.
    virtual IOPCServer* Server() = 0;

protected:
    ~CGroupOwner() = default;
};

// Shared by a server and its groups, and outliving the server. A group calls its server
// only through a use of the link; the server closes the link first thing in its final
// release, which waits until no use is left. So a server is never called once it has
// begun to go, and never goes while it is being called, whichever threads race.
// Nothing that holds a use may wait for the server's final release.
class CGroupOwnerLink {
public:
    explicit CGroupOwnerLink(CGroupOwner* owner) noexcept : m_owner(owner) {}
    CGroupOwnerLink(const CGroupOwnerLink&) = delete;
    CGroupOwnerLink& operator=(const CGroupOwnerLink&) = delete;

    class Use {
    public:
        Use() noexcept = default;
        Use(Use&& other) noexcept : m_link(std::exchange(other.m_link, nullptr)) {}
        Use& operator=(Use&& other) noexcept
        {
            if (this != &other) {
                if (m_link) m_link->Leave();
                m_link = std::exchange(other.m_link, nullptr);
            }
            return *this;
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use()
        {
            if (m_link) m_link->Leave();
        }
        explicit operator bool() const noexcept { return m_link != nullptr; }
        CGroupOwner* operator->() const noexcept { return m_link->m_owner; }

    private:
        friend class CGroupOwnerLink;
        explicit Use(CGroupOwnerLink* link) noexcept : m_link(link) {}
        CGroupOwnerLink* m_link = nullptr;
    };

    // An empty use once the link is closed.
    Use Acquire() noexcept
    {
        AcquireSRWLockExclusive(&m_lock);
        const bool open = m_open;
        if (open) ++m_uses;
        ReleaseSRWLockExclusive(&m_lock);
        return Use(open ? this : nullptr);
    }

    // From the server's final release: no new use from now on, and back only when the
    // last one has ended.
    void Close() noexcept
    {
        AcquireSRWLockExclusive(&m_lock);
        m_open = false;
        while (m_uses != 0) SleepConditionVariableSRW(&m_idle, &m_lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&m_lock);
    }

private:
    void Leave() noexcept
    {
        AcquireSRWLockExclusive(&m_lock);
        const bool last = --m_uses == 0;
        ReleaseSRWLockExclusive(&m_lock);
        if (last) WakeAllConditionVariable(&m_idle);
    }

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_idle = CONDITION_VARIABLE_INIT;
    CGroupOwner* const m_owner;
    bool m_open = true;
    unsigned m_uses = 0;
};

}  // namespace twopc::group
