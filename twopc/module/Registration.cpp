#include "twopc/module/Registration.h"

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"
#include "orv/com/Registry.h"
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

void WriteValue(const RegistryEntry& entry, const std::wstring& modulePath)
{
    orv::com::SetClassesString(entry.key, entry.name,
                               std::wcscmp(entry.value, kModulePlaceholder) == 0 ? modulePath : entry.value);
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
    orv::com::DeleteClassesKeyIfEmpty(kClassKey + L"\\Implemented Categories");
    orv::com::DeleteClassesKeyIfEmpty(kClassKey + L"\\Required Categories");
}

}  // namespace

HRESULT RegisterServer() noexcept
{
    try {
        for (const auto& key : kForceRemovedKeys) ThrowIfFailed(orv::com::DeleteClassesTree(key));
        const std::wstring modulePath = orv::com::ModulePath(orv::com::ThisModule());
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
        for (const wchar_t* key : {kProgId, kVersionedProgId}) ThrowIfFailed(orv::com::DeleteClassesTree(key));
        ThrowIfFailed(orv::com::DeleteClassesTree(kClassKey));
    } catch (...) {
        // Unregistration is best effort: the first failure ends it, and what is left
        // behind cannot be helped by telling the caller.
    }
    return S_OK;
}

}  // namespace twopc::module
