// Registration of the proxy/stub library. It writes an interface's proxy/stub entry only
// where none exists (a machine with another vendor's proxy/stub for the OPC interfaces
// keeps it), and records under each interface key what it added, so that unregistration
// removes exactly that and nothing another installer wrote.

#include "orv/com/HResult.h"
#include "orv/com/Registry.h"
#include "twopc/proxy/ProxyInterfaces.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using orv::com::ThrowIfFailed;

// Names what this library added below an interface key: "*" for the whole key, else the
// subkeys it created, separated by ';'.
constexpr wchar_t kAddedMarker[] = L"TwopcProxyStubAdded";
constexpr wchar_t kWholeKey[] = L"*";
constexpr wchar_t kDescription[] = L"Tarnwell OPC Server proxy/stub";

struct InterfaceEntry {
    std::wstring key;  // Interface\{iid}
    std::wstring name;
    unsigned long methods;
};

std::vector<InterfaceEntry> Interfaces()
{
    std::vector<InterfaceEntry> entries;
    for (unsigned i = 0; i < ProxyInterfaceCount(); ++i) {
        const char* name = ProxyInterfaceName(i);
        entries.push_back({L"Interface\\" + orv::com::GuidText(*ProxyInterfaceId(i)),
                           std::wstring(name, name + std::strlen(name)), ProxyInterfaceMethods(i)});
    }
    return entries;
}

std::wstring FactoryClsid()
{
    return orv::com::GuidText(CLSID_PSFactoryBuffer);
}

std::wstring FactoryKey()
{
    return L"CLSID\\" + FactoryClsid();
}

void RegisterInterface(const InterfaceEntry& entry, const std::wstring& factoryClsid)
{
    if (orv::com::ClassesString(entry.key, kAddedMarker)) return;  // ours already
    const std::wstring proxyKey = entry.key + L"\\ProxyStubClsid32";
    const std::wstring methodsKey = entry.key + L"\\NumMethods";
    if (orv::com::ClassesKeyExists(proxyKey)) return;  // another proxy/stub serves it

    const bool wholeKey = !orv::com::ClassesKeyExists(entry.key);
    const bool addMethods = !orv::com::ClassesKeyExists(methodsKey);
    const std::wstring added =
        wholeKey ? kWholeKey : std::wstring(L"ProxyStubClsid32") + (addMethods ? L";NumMethods" : L"");
    if (wholeKey) orv::com::SetClassesString(entry.key, nullptr, entry.name);
    // The marker goes first, so that unregistration also undoes an interrupted registration.
    orv::com::SetClassesString(entry.key, kAddedMarker, added);
    orv::com::SetClassesString(proxyKey, nullptr, factoryClsid);
    if (addMethods) orv::com::SetClassesString(methodsKey, nullptr, std::to_wstring(entry.methods));
}

void UnregisterInterface(const InterfaceEntry& entry, const std::wstring& factoryClsid)
{
    const auto added = orv::com::ClassesString(entry.key, kAddedMarker);
    if (!added) return;
    // Another installer that registered its own proxy/stub since then owns the key now.
    if (orv::com::ClassesString(entry.key + L"\\ProxyStubClsid32") != factoryClsid) {
        ThrowIfFailed(orv::com::DeleteClassesValue(entry.key, kAddedMarker));
        return;
    }
    if (*added == kWholeKey) {
        ThrowIfFailed(orv::com::DeleteClassesTree(entry.key));
        return;
    }
    for (std::size_t start = 0; start < added->size();) {
        std::size_t end = added->find(L';', start);
        if (end == std::wstring::npos) end = added->size();
        ThrowIfFailed(orv::com::DeleteClassesTree(entry.key + L"\\" + added->substr(start, end - start)));
        start = end + 1;
    }
    ThrowIfFailed(orv::com::DeleteClassesValue(entry.key, kAddedMarker));
}

}  // namespace

extern "C" {

STDAPI DllRegisterServer()
{
    try {
        const std::wstring factoryClsid = FactoryClsid();
        orv::com::SetClassesString(FactoryKey(), nullptr, kDescription);
        orv::com::SetClassesString(FactoryKey() + L"\\InprocServer32", nullptr,
                                   orv::com::ModulePath(orv::com::ThisModule()));
        orv::com::SetClassesString(FactoryKey() + L"\\InprocServer32", L"ThreadingModel", L"Both");
        for (const InterfaceEntry& entry : Interfaces()) RegisterInterface(entry, factoryClsid);
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

STDAPI DllUnregisterServer()
{
    try {
        const std::wstring factoryClsid = FactoryClsid();
        for (const InterfaceEntry& entry : Interfaces()) UnregisterInterface(entry, factoryClsid);
        ThrowIfFailed(orv::com::DeleteClassesTree(FactoryKey()));
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // extern "C"
