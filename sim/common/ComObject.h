#pragma once
// Internal to the link libraries: the IUnknown part of the objects they hand out. Each
// object answers IUnknown and exactly one interface, or IUnknown alone when that is the
// interface it is made with.

#include <sim/kelvane.h>

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"

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

using orv::com::ComPtr;

// Made only through Make, which hands back the first reference; freed by the last Release.
template <class Derived, class Interface>
class ComObject : public Interface {
public:
    template <class... Args>
    static ComPtr<Derived> Make(Args&&... args)
    {
        return ComPtr<Derived>::Adopt(new Derived(std::forward<Args>(args)...));
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
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace sim
