// Self-registration, run against the registry of the test prefix. The server is
// registered again at the end, whatever happens, for the tests that create it.

#include "ComTest.h"
#include "RegisteringLibrary.h"

#include <string>
#include <vector>

using namespace twopc::test;

namespace {

const std::wstring kClassKey = L"CLSID\\{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}";
const wchar_t kClsidText[] = L"{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}";
const wchar_t kDescription[] = L"OPC Server Interface to Tarnwell";
const std::wstring kCategory10 = L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
const std::wstring kCategory20 = L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";

// The server library, registered again when the test is done with it, as the fixture left it.
class ServerLibrary : public RegisteringLibrary {
public:
    ServerLibrary() : RegisteringLibrary(L"twopc.dll") {}
    ~ServerLibrary() { Register(); }
};

void CreateKey(const std::wstring& key)
{
    HKEY handle;
    REQUIRE(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) ==
            ERROR_SUCCESS);
    RegCloseKey(handle);
}

void CheckRegistered(const std::wstring& modulePath)
{
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer")) == Narrow(kDescription));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer\\CLSID")) == Narrow(kClsidText));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer\\CurVer")) ==
          "Orvane.TarnwellOPCServer.1");
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer\\OPC", L"Vendor")) == "Orvane, Inc.");
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer.1")) == Narrow(kDescription));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer.1\\CLSID")) == Narrow(kClsidText));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, kClassKey)) == Narrow(kDescription));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\ProgID")) == "Orvane.TarnwellOPCServer.1");
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\VersionIndependentProgID")) ==
          "Orvane.TarnwellOPCServer");
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32")) == Narrow(modulePath));
    CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel")) == "Free");
    CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" + kCategory10));
    CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" + kCategory20));
}

std::vector<std::wstring> SubkeyNames(const std::wstring& key)
{
    std::vector<std::wstring> names;
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    RegCloseKey(handle);
    return names;
}

}  // namespace

TEST_CASE("registration writes one set of keys, and a second registration removes stale ones")
{
    ServerLibrary library;
    REQUIRE(library.Register() == S_OK);
    CheckRegistered(library.Path());

    for (const wchar_t* forced : {L"\\ProgID\\Stale", L"\\VersionIndependentProgID\\Stale", L"\\InprocServer32\\Stale"})
        CreateKey(kClassKey + forced);
    REQUIRE(library.Register() == S_OK);
    CheckRegistered(library.Path());
    CHECK(SubkeyNames(kClassKey + L"\\ProgID").empty());
    CHECK(SubkeyNames(kClassKey + L"\\VersionIndependentProgID").empty());
    CHECK(SubkeyNames(kClassKey + L"\\InprocServer32").empty());
    CHECK(SubkeyNames(kClassKey + L"\\Implemented Categories").size() == 2);

    // The categories are described for clients that browse them.
    CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Component Categories\\" + kCategory10));
    CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Component Categories\\" + kCategory20));
}

TEST_CASE("unregistration removes the class, its ProgIDs and categories, and is harmless when repeated")
{
    ServerLibrary library;
    REQUIRE(library.Register() == S_OK);

    CHECK(library.Unregister() == S_OK);
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer"));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Orvane.TarnwellOPCServer.1"));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" + kCategory10));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" + kCategory20));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
    CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));

    CLSID clsid;
    CHECK(FAILED(CLSIDFromProgID(kProgId, &clsid)));
    CHECK(library.Unregister() == S_OK);
}
