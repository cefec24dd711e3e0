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

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"

#include <unknwn.h>

#include <atomic>
#include <new>
#include <utility>

namespace orv::com {

// Counts live objects and LockServer(TRUE) calls of the module.
class ModuleLock {
public:
    static void Lock() noexcept { s_count.fetch_add(1, std::memory_order_relaxed); }
    static void Unlock() noexcept { s_count.fetch_sub(1, std::memory_order_relaxed); }
    static long Count() noexcept { return s_count.load(std::memory_order_relaxed); }

private:
    static inline std::atomic<long> s_count{0};
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

protected:
    ComObject() noexcept
    {
        if constexpr (LocksModule<Derived>()) ModuleLock::Lock();
    }
    ~ComObject()
    {
        if constexpr (LocksModule<Derived>()) ModuleLock::Unlock();
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
