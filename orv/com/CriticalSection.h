#pragma once
// Lock classes. CCriticalSection is re-entrant; hold it through CSingleLock (or any
// scoped lock: lock()/unlock() make it BasicLockable), never through bare Lock/Unlock pairs.

#include <windows.h>

namespace orv::com {

class CSyncObject {
public:
    virtual ~CSyncObject() = default;
    virtual bool Lock(DWORD timeoutMs = INFINITE) = 0;
    virtual void Unlock() = 0;

    void lock() { Lock(INFINITE); }
    void unlock() { Unlock(); }
};

class CCriticalSection : public CSyncObject {
public:
    // Throws the Win32 error as an HRESULT when the section cannot be created.
    CCriticalSection();
    ~CCriticalSection() override;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    // Entering a critical section cannot time out; the time-out is accepted for the interface's sake.
    bool Lock(DWORD timeoutMs = INFINITE) override;
    void Unlock() override;

private:
    CRITICAL_SECTION m_section;
};

// Scoped hold of one lock.
class CSingleLock {
public:
    explicit CSingleLock(CSyncObject& object) : m_object(object) { m_object.Lock(INFINITE); }
    ~CSingleLock() { m_object.Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

private:
    CSyncObject& m_object;
};

}  // namespace orv::com
