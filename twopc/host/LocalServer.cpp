#include "twopc/host/LocalServer.h"

#include "orv/com/ComObject.h"
#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"
#include "orv/com/Registry.h"
#include "twopc/module/ClassIds.h"

#include <atomic>
#include <string>

namespace twopc::host {
namespace {

using orv::com::ThrowIfFailed;
using module::CLSID_TarnwellOPCServer;
using module::kClsidText;

// The class's AppID is its CLSID, as is usual for a server of one class.
const std::wstring kClassKey = std::wstring(L"CLSID\\") + kClsidText;
const std::wstring kAppIdKey = std::wstring(L"AppID\\") + kClsidText;
constexpr wchar_t kExecutableName[] = L"twopcsrv.exe";
constexpr wchar_t kAppIdDescription[] = L"Tarnwell OPC Server local server";

// How often the host asks the library whether any object is left, and how long it waits
// for the first client after COM started it.
constexpr DWORD kIdlePollMs = 100;
constexpr DWORD kFirstClientMs = 60'000;

std::wstring OwnFolder()
{
    std::wstring path = orv::com::ModulePath(nullptr);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// Our class object in front of the library's: it notes that a client has been served, so
// that the host knows "no object left" means "the last client let go".
class CHostClassFactory final : public orv::com::ComObject<CHostClassFactory, IClassFactory> {
public:
    static constexpr bool kLocksModule = false;

    void Init(orv::com::ComPtr<IClassFactory> inner) { m_inner = std::move(inner); }
    bool Served() const noexcept { return m_served.load(); }

    // IClassFactory
    IFACEMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        HRESULT hr = m_inner->CreateInstance(pUnkOuter, riid, ppv);
        if (SUCCEEDED(hr)) m_served = true;
        return hr;
    }
    IFACEMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock) m_served = true;
        return m_inner->LockServer(fLock);
    }

private:
    orv::com::ComPtr<IClassFactory> m_inner;
    std::atomic<bool> m_served{false};
};

// twopc.dll as the host uses it; freed with the object.
class ServerLibrary {
public:
    ServerLibrary() : m_module(LoadLibraryW((OwnFolder() + L"twopc.dll").c_str()))
    {
        if (!m_module) orv::com::ThrowLastError();
        m_getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllGetClassObject")));
        m_canExit =
            reinterpret_cast<CanExitFn>(reinterpret_cast<void*>(GetProcAddress(m_module, "TwopcHostCanExit")));
        if (!m_getClassObject || !m_canExit) {
            FreeLibrary(m_module);
            orv::com::ThrowHResult(CO_E_ERRORINDLL);
        }
    }
    ServerLibrary(const ServerLibrary&) = delete;
    ServerLibrary& operator=(const ServerLibrary&) = delete;
    ~ServerLibrary() { FreeLibrary(m_module); }

    orv::com::ComPtr<IClassFactory> ClassObject() const
    {
        orv::com::ComPtr<IClassFactory> factory;
        ThrowIfFailed(m_getClassObject(CLSID_TarnwellOPCServer, IID_IClassFactory, factory.PutVoid()));
        return factory;
    }
    // No client that may still let go holds anything: the objects of clients found gone
    // do not count, as nothing but the COM runtime will release them.
    bool Idle() const { return m_canExit() == S_OK; }

private:
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanExitFn = HRESULT(STDAPICALLTYPE*)();
    HMODULE m_module;
    GetClassObjectFn m_getClassObject = nullptr;
    CanExitFn m_canExit = nullptr;
};

class ComApartment {
public:
    ComApartment() { ThrowIfFailed(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

// The class object as COM knows it, for as long as the object lives.
class ClassRegistration {
public:
    explicit ClassRegistration(IUnknown* factory)
    {
        ThrowIfFailed(CoRegisterClassObject(CLSID_TarnwellOPCServer, factory, CLSCTX_LOCAL_SERVER,
                                            REGCLS_MULTIPLEUSE, &m_cookie));
    }
    ~ClassRegistration() { CoRevokeClassObject(m_cookie); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

private:
    DWORD m_cookie = 0;
};

bool LocalServerRegistered()
{
    return orv::com::ClassesKeyExists(kClassKey + L"\\LocalServer32");
}

void Serve()
{
    // The library outlives the apartment: leaving the apartment releases the objects that
    // clients still hold (those found gone, or all of them when unregistered), and their
    // code is in the library.
    ServerLibrary library;
    ComApartment apartment;
    auto factory = orv::com::MakeComObject<CHostClassFactory>();
    factory->Init(library.ClassObject());
    ClassRegistration registration(factory.Get());
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        Sleep(kIdlePollMs);
        // Unregistered (uninstalled): the host ends even with clients left, which then
        // find the server gone.
        if (!LocalServerRegistered()) break;
        if (factory->Served() ? library.Idle() : GetTickCount64() - started > kFirstClientMs) break;
    }
    // New activations start a new host from here on.
    CoSuspendClassObjects();
}

}  // namespace

HRESULT RegisterLocalServer() noexcept
{
    try {
        orv::com::SetClassesString(kClassKey + L"\\LocalServer32", nullptr,
                                   L"\"" + orv::com::ModulePath(nullptr) + L"\"");
        orv::com::SetClassesString(kClassKey, L"AppID", kClsidText);
        orv::com::SetClassesString(kAppIdKey, nullptr, kAppIdDescription);
        orv::com::SetClassesString(std::wstring(L"AppID\\") + kExecutableName, L"AppID", kClsidText);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT UnregisterLocalServer() noexcept
{
    try {
        ThrowIfFailed(orv::com::DeleteClassesTree(kClassKey + L"\\LocalServer32"));
        ThrowIfFailed(orv::com::DeleteClassesValue(kClassKey, L"AppID"));
        ThrowIfFailed(orv::com::DeleteClassesTree(kAppIdKey));
        ThrowIfFailed(orv::com::DeleteClassesTree(std::wstring(L"AppID\\") + kExecutableName));
        // Registered without the library, the class key held only what is removed above.
        orv::com::DeleteClassesKeyIfEmpty(kClassKey);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT ServeEmbedded() noexcept
{
    try {
        Serve();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace twopc::host
