#pragma once
// Internal to the link libraries: reference ownership and the IUnknown part of the
// objects they hand out. Each object answers IUnknown and exactly one interface, or IUnknown
// alone when that is the interface it is made with.

#include <sim/kelvane.h>

#include <atomic>
#include <new>
#include <utility>

namespace sim {

template <class Interface>
struct InterfaceId;
template <> struct InterfaceId<IUnknown> { static constexpr const GUID& value = IID_IUnknown; };
template <> struct InterfaceId<kelvane::IKelvaneOEM> { static constexpr const GUID& value = kelvane::IID_IKelvaneOEM; };
template <> struct InterfaceId<kelvane::IKelvanePoint> { static constexpr const GUID& value = kelvane::IID_IKelvanePoint; };
template <> struct InterfaceId<kelvane::IKelvaneRealTime> { static constexpr const GUID& value = kelvane::IID_IKelvaneRealTime; };
template <> struct InterfaceId<kelvane::IKelvaneBrowser> { static constexpr const GUID& value = kelvane::IID_IKelvaneBrowser; };
template <> struct InterfaceId<kelvane::IKelvaneNarrowText> { static constexpr const GUID& value = kelvane::IID_IKelvaneNarrowText; };
template <> struct InterfaceId<kelvane::IKelvaneWideText> { static constexpr const GUID& value = kelvane::IID_IKelvaneWideText; };

// Owns one reference to an interface pointer.
template <class Interface>
class ComRef {
public:
    ComRef() noexcept = default;
    static ComRef Attach(Interface* owned) noexcept
    {
        ComRef ref;
        ref.pointer_ = owned;
        return ref;
    }
    static ComRef Share(Interface* borrowed) noexcept
    {
        if (borrowed) borrowed->AddRef();
        return Attach(borrowed);
    }
    ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComRef& operator=(ComRef&& other) noexcept
    {
        if (this != &other) {
            Reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { Reset(); }

    Interface* Get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }
    Interface* Detach() noexcept { return std::exchange(pointer_, nullptr); }
    void Reset() noexcept
    {
        if (Interface* old = std::exchange(pointer_, nullptr)) old->Release();
    }

private:
    Interface* pointer_ = nullptr;
};

// Made only through Make, which hands back the first reference; freed by the last Release.
template <class Derived, class Interface>
class ComObject : public Interface {
public:
    template <class... Args>
    static ComRef<Derived> Make(Args&&... args)
    {
        return ComRef<Derived>::Attach(new Derived(std::forward<Args>(args)...));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, InterfaceId<Interface>::value)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    ComObject() = default;
    // Appended after the interface's slots, so the published vtable layout is untouched.
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> references_{1};
};

// The COM boundary: nothing thrown inside a method may leave it.
template <class Body>
HRESULT Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace sim
