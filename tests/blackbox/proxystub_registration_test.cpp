// Registration of twopcps.dll against the test prefix's registry: it must leave another
// vendor's proxy/stub registration of an OPC interface alone and remove only what it
// added. The library is registered again at the end, as the fixture left it.

#include "ComTest.h"
#include "RegisteringLibrary.h"

#include <string>

using namespace twopc::test;

namespace {

const wchar_t kOtherFactory[] = L"{0A0B0C0D-1111-2222-3333-444455556666}";
const wchar_t kOurFactory[] = L"{6BFF714C-EAB1-49C5-A9B1-91065EBA8037}";

std::wstring GuidString(const GUID& guid)
{
    wchar_t text[40];
    return std::wstring(text, StringFromGUID2(guid, text, 40) - 1);
}

std::wstring InterfaceKey(const IID& iid)
{
    return L"Interface\\" + GuidString(iid);
}

void SetString(const std::wstring& key, const wchar_t* name, const wchar_t* value)
{
    HKEY handle;
    REQUIRE(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) ==
            ERROR_SUCCESS);
    REQUIRE(RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS);
    RegCloseKey(handle);
}

std::string Value(const std::wstring& key, const wchar_t* name = nullptr)
{
    return Narrow(RegistryString(HKEY_CLASSES_ROOT, key, name));
}

// The proxy/stub library; what the test planted goes with it, and the library is
// registered again as the fixture left it.
class ProxyLibrary : public RegisteringLibrary {
public:
    ProxyLibrary() : RegisteringLibrary(L"twopcps.dll") {}
    ~ProxyLibrary()
    {
        for (const IID* planted : {&IID_IOPCShutdown, &IID_IOPCCommon, &IID_IOPCItemMgt})
            RegDeleteTreeW(HKEY_CLASSES_ROOT, InterfaceKey(*planted).c_str());
        CHECK(Register() == S_OK);
    }
};

}  // namespace

TEST_CASE("proxy/stub registration writes only where none exists and unregistration removes only what it wrote")
{
    ProxyLibrary library;
    REQUIRE(library.Unregister() == S_OK);
    const std::wstring server = InterfaceKey(IID_IOPCServer);
    const std::wstring shutdown = InterfaceKey(IID_IOPCShutdown);
    const std::wstring common = InterfaceKey(IID_IOPCCommon);
    REQUIRE_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, server));

    // Another vendor's proxy/stub for IOPCShutdown, and a key of IOPCCommon without one.
    SetString(shutdown, nullptr, L"IOPCShutdown");
    SetString(shutdown + L"\\ProxyStubClsid32", nullptr, kOtherFactory);
    SetString(shutdown + L"\\NumMethods", nullptr, L"4");
    SetString(common, nullptr, L"IOPCCommon");
    SetString(common + L"\\NumMethods", nullptr, L"8");

    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        REQUIRE(library.Register() == S_OK);
        CHECK(Value(server) == "IOPCServer");
        CHECK(Value(server + L"\\ProxyStubClsid32") == Narrow(kOurFactory));
        CHECK(Value(server + L"\\NumMethods") == "9");
        CHECK(Value(common + L"\\ProxyStubClsid32") == Narrow(kOurFactory));
        CHECK(Value(shutdown + L"\\ProxyStubClsid32") == Narrow(kOtherFactory));
        CHECK(Value(shutdown, L"TwopcProxyStubAdded") == "<missing>");
        CHECK(Value(std::wstring(L"CLSID\\") + kOurFactory + L"\\InprocServer32") == Narrow(library.Path()));
        CHECK(Value(std::wstring(L"CLSID\\") + kOurFactory + L"\\InprocServer32", L"ThreadingModel") == "Both");
    }

    // A client in another apartment now gets its proxies from us.
    CLSID factory{};
    CHECK(CoGetPSClsid(IID_IOPCDataCallback, &factory) == S_OK);
    CHECK(Narrow(GuidString(factory)) == Narrow(kOurFactory));

    // An installer that registers its own proxy/stub afterwards owns that interface then.
    const std::wstring items = InterfaceKey(IID_IOPCItemMgt);
    SetString(items + L"\\ProxyStubClsid32", nullptr, kOtherFactory);

    REQUIRE(library.Unregister() == S_OK);
    CHECK(Value(items + L"\\ProxyStubClsid32") == Narrow(kOtherFactory));
    CHECK(Value(items, L"TwopcProxyStubAdded") == "<missing>");
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, server));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kOurFactory));
    CHECK(Value(common) == "IOPCCommon");
    CHECK(Value(common + L"\\NumMethods") == "8");
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, common + L"\\ProxyStubClsid32"));
    CHECK(Value(common, L"TwopcProxyStubAdded") == "<missing>");
    CHECK(Value(shutdown) == "IOPCShutdown");
    CHECK(Value(shutdown + L"\\ProxyStubClsid32") == Narrow(kOtherFactory));
    CHECK(Value(shutdown + L"\\NumMethods") == "4");
    CHECK(library.Unregister() == S_OK);
}
