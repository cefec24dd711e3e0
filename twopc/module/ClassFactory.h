#pragma once
// The class object of COPCServer. It is cached for the life of the library, so it does
// not count toward the module lock (or the library could never unload).

#include "orv/com/ComObject.h"

namespace twopc::module {

class CServerClassFactory final : public orv::com::ComObject<CServerClassFactory, IClassFactory> {
public:
    static constexpr bool kLocksModule = false;

    // IClassFactory
    IFACEMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept override;
    IFACEMETHODIMP LockServer(BOOL fLock) noexcept override;
};

// The cached class object, created on first request.
HRESULT GetServerClassFactory(REFIID riid, void** ppv) noexcept;
// Drops the cached class object at library unload.
void ReleaseServerClassFactory() noexcept;

}  // namespace twopc::module
