#pragma once
// A COM object that its owner keeps on the stack or as a member, for clients' sinks and
// tests: it answers IUnknown and Interface and counts its references, but its last Release
// frees nothing. The count starts at 1, the owner's, and must be back at 1 before the
// owner lets it go.

#include <unknwn.h>

#include <atomic>

namespace orv::com {

template <class Interface>
class StackObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown || riid == __uuidof(Interface) ? static_cast<Interface*>(this) : nullptr;
        if (*ppv) AddRef();
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    std::atomic<ULONG> refs{1};
};

}  // namespace orv::com
