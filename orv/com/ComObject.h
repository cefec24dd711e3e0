#pragma once
// The COM object base of the library: free-threaded objects with an atomic reference
// count, QueryInterface generated from the interface list, the module lock count for
// DllCanUnloadNow, and aggregation for objects that a class factory hands to an outer
// object.
//
//   class CThing : public orv::com::ComObject<CThing, IFoo, IBar> { ... };
//   ComPtr<CThing> thing = orv::com::MakeComObject<CThing>(args...);
//
// Objects are created only through MakeComObject/CreateComObject. A derived class may
// define `HRESULT FinalConstruct()` (fallible set-up, runs once before the object is
// handed out) and `void FinalRelease()` (runs once when the last reference goes, before
// the destructor), and `HRESULT QueryExtraInterface(REFIID, void**)` for interfaces
// that are not in its base list (it adds the reference it hands out; E_NOINTERFACE for
// an interface it does not know). A class that must not keep the module loaded (the cached
// class factory) declares `static constexpr bool kLocksModule = false;`.
//
// An object constructed inside a ClientScope counts as one of that client's objects
// (OwningClient()); see ClientObjects.

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"

#include <unknwn.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace orv::com {

// Counts live objects and LockServer(TRUE) calls of the module. The objects of a client
// found gone still count, for DllCanUnloadNow (their code is in the module), but not as
// live: nothing but the COM runtime will ever let go of them.
class ModuleLock {
public:
    static void Lock() noexcept { Add(1, 1); }
    static void Unlock() noexcept { Add(-1, -1); }
    static long Count() noexcept { return s_count.load(std::memory_order_relaxed); }
    // Count() without the objects of clients found gone; one counter, so that a reader
    // never sees an object leave one count before the other.
    static long LiveCount() noexcept { return s_live.load(std::memory_order_relaxed); }

private:
    friend class ClientObjects;
    static void Add(long all, long live) noexcept
    {
        s_count.fetch_add(all, std::memory_order_relaxed);
        s_live.fetch_add(live, std::memory_order_relaxed);
    }

    static inline std::atomic<long> s_count{0};
    static inline std::atomic<long> s_live{0};
};

// Whether a call to a client's object failed because the client's process is gone (or its
// object was disconnected): the client can never let go of what it holds.
inline bool IsClientGone(HRESULT hr) noexcept
{
    return hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) || hr == RPC_E_DISCONNECTED ||
           hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE;
}

// The objects made for one client: its server and what was made through it (groups,
// enumerators, browse objects). Once a callback finds the client gone, its objects live
// on only through the references the COM runtime holds for it, until the runtime runs
// them down (on Windows after its ping time-out; Wine never does); from then on they
// no longer count as live. A client that is never called back can never be found gone.
class ClientObjects {
public:
    void Join() noexcept { Change(1); }
    void Leave() noexcept { Change(-1); }

    // Marks the client gone for good when `hr`, a callback's result, says so.
    void NoteCallResult(HRESULT hr) noexcept
    {
        if (!IsClientGone(hr)) return;
        AcquireSRWLockExclusive(&m_lock);
        if (!m_gone) {
            m_gone = true;
            ModuleLock::Add(0, -m_objects);
        }
        ReleaseSRWLockExclusive(&m_lock);
    }

private:
    void Change(long objects) noexcept
    {
        AcquireSRWLockExclusive(&m_lock);
        m_objects += objects;
        ModuleLock::Add(objects, m_gone ? 0 : objects);
        ReleaseSRWLockExclusive(&m_lock);
    }

    SRWLOCK m_lock = SRWLOCK_INIT;
    long m_objects = 0;
    bool m_gone = false;
};

// Every object constructed on this thread while the scope lives is one of `client`'s
// (none when it is null). Set where an object is made for a client: by the class object
// for the server, and by each method that makes an object, with its own OwningClient().
class ClientScope {
public:
    explicit ClientScope(std::shared_ptr<ClientObjects> client) noexcept
        : m_client(std::move(client)), m_outer(t_current)
    {
        t_current = this;
    }
    ~ClientScope() { t_current = m_outer; }
    ClientScope(const ClientScope&) = delete;
    ClientScope& operator=(const ClientScope&) = delete;

    static std::shared_ptr<ClientObjects> Current() noexcept { return t_current ? t_current->m_client : nullptr; }

private:
    std::shared_ptr<ClientObjects> m_client;
    ClientScope* m_outer;
    static inline thread_local ClientScope* t_current = nullptr;
};

template <class T>
concept HasLocksModuleTrait = requires { T::kLocksModule; };

template <class T>
constexpr bool LocksModule() noexcept
{
    if constexpr (HasLocksModuleTrait<T>)
        return T::kLocksModule;
    else
        return true;
}

template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // IUnknown of every interface: goes to the outer object when aggregated.
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override
    {
        return m_outer ? m_outer->QueryInterface(riid, ppv) : InnerQueryInterface(riid, ppv);
    }
    IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return m_outer ? m_outer->AddRef() : InnerAddRef(); }
    IFACEMETHODIMP_(ULONG) Release() noexcept override { return m_outer ? m_outer->Release() : InnerRelease(); }

    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    HRESULT QueryExtraInterface(REFIID, void**) { return E_NOINTERFACE; }

    // The object's own reference count; meaningless for an aggregated object, and a
    // snapshot only: for decisions that no other thread's references can change.
    ULONG References() const noexcept { return m_refs.load(std::memory_order_acquire); }

    // The object's own identity, whether aggregated or not.
    IUnknown* Identity() noexcept { return m_outer ? m_outer : static_cast<First*>(this); }

    // The client the object was made for; null when made outside every ClientScope.
    const std::shared_ptr<ClientObjects>& OwningClient() const noexcept { return m_client; }
    // For each result of a callback to the object's client.
    void NoteClientCallResult(HRESULT hr) noexcept
    {
        if (m_client) m_client->NoteCallResult(hr);
    }

protected:
    ComObject() noexcept
    {
        if constexpr (LocksModule<Derived>()) {
            m_client = ClientScope::Current();
            if (m_client)
                m_client->Join();
            else
                ModuleLock::Lock();
        }
    }
    ~ComObject()
    {
        if constexpr (LocksModule<Derived>()) {
            if (m_client)
                m_client->Leave();
            else
                ModuleLock::Unlock();
        }
    }

private:
    template <class T>
    friend void FinalConstructOrDelete(T* object);
    template <class T, class... Args>
    friend HRESULT CreateAggregatedComObject(IUnknown* outer, IUnknown** inner, Args&&... args) noexcept;

    // The non-delegating IUnknown that an outer object holds.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(ComObject* owner) noexcept : m_owner(owner) {}
        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override
        {
            return m_owner->InnerQueryInterface(riid, ppv);
        }
        IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return m_owner->InnerAddRef(); }
        IFACEMETHODIMP_(ULONG) Release() noexcept override { return m_owner->InnerRelease(); }

    private:
        ComObject* m_owner;
    };

    template <class I>
    bool Match(REFIID riid, void** ppv) noexcept
    {
        if (riid != __uuidof(I)) return false;
        *ppv = static_cast<I*>(this);
        return true;
    }

    HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            IUnknown* self = m_outer ? static_cast<IUnknown*>(&m_inner) : static_cast<First*>(this);
            self->AddRef();
            *ppv = self;
            return S_OK;
        }
        if ((Match<First>(riid, ppv) || ... || Match<Rest>(riid, ppv))) {
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        return static_cast<Derived*>(this)->QueryExtraInterface(riid, ppv);
    }

    ULONG InnerAddRef() noexcept { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG InnerRelease() noexcept
    {
        ULONG remaining = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0) {
            // A reference held across FinalRelease keeps the object alive if the
            // release path hands itself out and takes it back.
            m_refs.store(1, std::memory_order_relaxed);
            static_cast<Derived*>(this)->FinalRelease();
            delete static_cast<Derived*>(this);
        }
        return remaining;
    }

    std::atomic<ULONG> m_refs{0};
    IUnknown* m_outer = nullptr;
    std::shared_ptr<ClientObjects> m_client;
    InnerUnknown m_inner{this};
};

// Takes the first reference and runs FinalConstruct; an object whose set-up fails is
// deleted without FinalRelease and the failure is thrown.
template <class T>
void FinalConstructOrDelete(T* object)
{
    object->InnerAddRef();
    HRESULT hr;
    try {
        hr = object->FinalConstruct();
    } catch (...) {
        delete object;
        throw;
    }
    if (FAILED(hr)) {
        delete object;
        ThrowHResult(hr);
    }
}

// Constructs and final-constructs an object; throws what either throws or returns.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args)
{
    T* object = new T(std::forward<Args>(args)...);
    FinalConstructOrDelete(object);
    return ComPtr<T>::Adopt(object);
}

// Creates an object and queries it for riid; the one reference goes to *ppv.
template <class T, class... Args>
HRESULT CreateComObject(REFIID riid, void** ppv, Args&&... args) noexcept
{
    try {
        ComPtr<T> object = MakeComObject<T>(std::forward<Args>(args)...);
        return object->QueryInterface(riid, ppv);
    } catch (...) {
        return HResultFromCaught();
    }
}

// Creates an object aggregated by `outer`; *inner receives its non-delegating IUnknown.
template <class T, class... Args>
HRESULT CreateAggregatedComObject(IUnknown* outer, IUnknown** inner, Args&&... args) noexcept
{
    *inner = nullptr;
    try {
        T* object = new T(std::forward<Args>(args)...);
        object->m_outer = outer;
        FinalConstructOrDelete(object);
        *inner = &object->m_inner;
        return S_OK;
    } catch (...) {
        return HResultFromCaught();
    }
}

}  // namespace orv::com
