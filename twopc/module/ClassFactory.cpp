#include "twopc/module/ClassFactory.h"

#include "orv/com/CriticalSection.h"
#include "twopc/server/OPCServer.h"

namespace twopc::module {
namespace {

orv::com::CCriticalSection& FactoryLock()
{
    static orv::com::CCriticalSection lock;
    return lock;
}

orv::com::ComPtr<CServerClassFactory>& CachedFactory()
{
    static orv::com::ComPtr<CServerClassFactory> factory;
    return factory;
}

}  // namespace

HRESULT CServerClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object hands its non-delegating IUnknown to the outer object only.
    if (pUnkOuter && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    try {
        // Each creation is a client of its own: the server and all that is made through it.
        orv::com::ClientScope client(std::make_shared<orv::com::ClientObjects>());
        if (!pUnkOuter) return orv::com::CreateComObject<server::COPCServer>(riid, ppv);
        return orv::com::CreateAggregatedComObject<server::COPCServer>(pUnkOuter,
                                                                       reinterpret_cast<IUnknown**>(ppv));
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT CServerClassFactory::LockServer(BOOL fLock) noexcept
{
    if (fLock)
        orv::com::ModuleLock::Lock();
    else
        orv::com::ModuleLock::Unlock();
    return S_OK;
}

HRESULT GetServerClassFactory(REFIID riid, void** ppv) noexcept
{
    try {
        orv::com::CSingleLock hold(FactoryLock());
        auto& factory = CachedFactory();
        if (!factory) factory = orv::com::MakeComObject<CServerClassFactory>();
        return factory->QueryInterface(riid, ppv);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

void ReleaseServerClassFactory() noexcept
{
    CachedFactory().Reset();
}

}  // namespace twopc::module
