#include "twopc/module/Registration.h"

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"
#include "orv/com/Owners.h"
#include "twopc/module/ClassIds.h"

#include <comcat.h>
#include <opcda.h>

#include <array>
#include <cwchar>
#include <string>

namespace twopc::module {
namespace {

using orv::com::ThrowIfFailed;

const std::wstring kClassKey = std::wstring(L"CLSID\\") + kClsidText;
constexpr wchar_t kModulePlaceholder[] = L"%MODULE%";

struct RegistryEntry {
    std::wstring key;  // below HKEY_CLASSES_ROOT
    const wchar_t* name;  // null for the default value
    const wchar_t* value;
};

// What registration writes, in order; "%MODULE%" stands for the library's full path.
const std::array<RegistryEntry, 11>& RegistryScript()
{
    static const std::array<RegistryEntry, 11> script = {{
        {kProgId, nullptr, kDescription},
        {std::wstring(kProgId) + L"\\CLSID", nullptr, kClsidText},
        {std::wstring(kProgId) + L"\\CurVer", nullptr, kVersionedProgId},
        {std::wstring(kProgId) + L"\\OPC", L"Vendor", kVendor},
        {kVersionedProgId, nullptr, kDescription},
        {std::wstring(kVersionedProgId) + L"\\CLSID", nullptr, kClsidText},
        {kClassKey, nullptr, kDescription},
        {kClassKey + L"\\ProgID", nullptr, kVersionedProgId},
        {kClassKey + L"\\VersionIndependentProgID", nullptr, kProgId},
        {kClassKey + L"\\InprocServer32", nullptr, kModulePlaceholder},
        {kClassKey + L"\\InprocServer32", L"ThreadingModel", kThreadingModel},
    }};
    return script;
}

// Keys that registration deletes with their subkeys before writing them anew, so that
// nothing stale survives a re-registration.
const std::array<std::wstring, 3> kForceRemovedKeys = {
    kClassKey + L"\\ProgID", kClassKey + L"\\VersionIndependentProgID", kClassKey + L"\\InprocServer32"};

struct CategoryInfo {
    const CATID& id;
    const wchar_t* description;
};
const std::array<CategoryInfo, 2> kCategories = {{
    {CATID_OPCDAServer10, L"OPC Data Access Servers Version 1.0"},
    {CATID_OPCDAServer20, L"OPC Data Access Servers Version 2.0"},
}};

HRESULT FromWin32(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(orv::com::ThisModule(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) orv::com::ThrowLastError();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void WriteValue(const RegistryEntry& entry, const std::wstring& modulePath)
{
    orv::com::UniqueRegKey key;
    ThrowIfFailed(FromWin32(RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                            nullptr, key.Put(), nullptr)));
    std::wstring value = std::wcscmp(entry.value, kModulePlaceholder) == 0 ? modulePath : entry.value;
    ThrowIfFailed(FromWin32(RegSetValueExW(key.Get(), entry.name, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(value.c_str()),
                                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)))));
}

// Deletes a key with everything below it; a key that is not there is no failure.
HRESULT DeleteTree(const std::wstring& key)
{
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(status);
}

void DeleteKeyIfEmpty(const std::wstring& path)
{
    orv::com::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    key.Reset();
    if (subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

// Registration may be called from a thread that has not entered COM (regsvr32 does, others may not).
class ComScope {
public:
    ComScope() : m_initialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComScope()
    {
        if (m_initialized) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool m_initialized;
};

orv::com::ComPtr<ICatRegister> CategoryManager()
{
    orv::com::ComPtr<ICatRegister> manager;
    ThrowIfFailed(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICatRegister, manager.PutVoid()));
    return manager;
}

std::array<CATID, 2> CategoryIds()
{
    return {kCategories[0].id, kCategories[1].id};
}

void RegisterCategories()
{
    ComScope com;
    auto manager = CategoryManager();
    // The categories themselves are shared with every other OPC server: they are
    // described here so that clients find them, and never removed.
    std::array<CATEGORYINFO, 2> infos{};
    for (std::size_t i = 0; i < kCategories.size(); ++i) {
        infos[i].catid = kCategories[i].id;
        infos[i].lcid = 0x409;
        wcsncpy_s(infos[i].szDescription, kCategories[i].description, _TRUNCATE);
    }
    ThrowIfFailed(manager->RegisterCategories(static_cast<ULONG>(infos.size()), infos.data()));
    auto ids = CategoryIds();
    ThrowIfFailed(manager->RegisterClassImplCategories(CLSID_TarnwellOPCServer, static_cast<ULONG>(ids.size()),
                                                       ids.data()));
}

void UnregisterCategories()
{
    ComScope com;
    auto manager = CategoryManager();
    auto ids = CategoryIds();
    ThrowIfFailed(manager->UnRegisterClassImplCategories(CLSID_TarnwellOPCServer, static_cast<ULONG>(ids.size()),
                                                         ids.data()));
    DeleteKeyIfEmpty(kClassKey + L"\\Implemented Categories");
    DeleteKeyIfEmpty(kClassKey + L"\\Required Categories");
}

}  // namespace

HRESULT RegisterServer() noexcept
{
    try {
        for (const auto& key : kForceRemovedKeys) ThrowIfFailed(DeleteTree(key));
        const std::wstring modulePath = ModulePath();
        for (const auto& entry : RegistryScript()) WriteValue(entry, modulePath);
        RegisterCategories();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT UnregisterServer() noexcept
{
    try {
        UnregisterCategories();
        for (const wchar_t* key : {kProgId, kVersionedProgId}) ThrowIfFailed(DeleteTree(key));
        ThrowIfFailed(DeleteTree(kClassKey));
    } catch (...) {
        // Unregistration is best effort: the first failure ends it, and what is left
        // behind cannot be helped by telling the caller.
    }
    return S_OK;
}

}  // namespace twopc::module
