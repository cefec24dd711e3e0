// The library's exported entry points.

#include "orv/com/ComObject.h"
#include "twopc/module/ClassFactory.h"
#include "twopc/module/ClassIds.h"
#include "twopc/module/Registration.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // FreeLibrary, not process exit: nothing else can still be using the class object.
        twopc::module::ReleaseServerClassFactory();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != twopc::module::CLSID_TarnwellOPCServer) return CLASS_E_CLASSNOTAVAILABLE;
    return twopc::module::GetServerClassFactory(riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return orv::com::ModuleLock::Count() == 0 ? S_OK : S_FALSE;
}

// For the local server host: S_OK once no client that may still let go holds anything.
// What is left then belongs to clients found gone, and only the COM runtime releases it.
STDAPI TwopcHostCanExit()
{
    return orv::com::ModuleLock::LiveCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    return twopc::module::RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return twopc::module::UnregisterServer();
}

}  // extern "C"
