// A server whose link libraries are missing still starts, and says so on standard
// output. This program runs from a folder that holds twopc.dll and nothing of the link:
// it starts itself again as a child and checks what the child printed.

#include "ChildProcess.h"
#include "ComTest.h"

#include <string>

using namespace twopc::test;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Without the realtime link an item is made, but it has no point: writing it fails alone.
// The child runs outside the test framework, so it asserts nothing and answers a code.
int WriteWithoutLink(IOPCServer* server)
{
    Ref<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;
    DWORD rate = 0;
    if (FAILED(server->AddGroup(L"", FALSE, 1000, 1, nullptr, nullptr, 1033, &groupHandle, &rate, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(items.Put()))))
        return 20;
    OPCITEMDEF definition = ItemDef(L"\\\\.\\proc1\\Setpoint");
    OPCITEMRESULT* added = nullptr;
    HRESULT* errors = nullptr;
    if (items->AddItems(1, &definition, &added, &errors) != S_OK) return 21;
    OPCHANDLE handle = added[0].hServer;
    CoTaskMemFree(added);
    CoTaskMemFree(errors);
    VARIANT value = DoubleVariant(1.5);
    Ref<IOPCSyncIO> io;
    if (FAILED(items->QueryInterface(IID_IOPCSyncIO, io.PutVoid()))) return 23;
    HRESULT written = io->Write(1, &handle, &value, &errors);
    HRESULT itemResult = SUCCEEDED(written) ? errors[0] : S_OK;
    if (SUCCEEDED(written)) CoTaskMemFree(errors);
    return written == S_FALSE && itemResult == E_FAIL ? 0 : 22;
}

// Child: create a server from the twopc.dll beside this program, write through it, release it.
int CreateServerHere()
{
    HMODULE module = LoadLibraryW((OwnDirectory() + L"twopc.dll").c_str());
    if (!module) return 10;
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(kServerClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return 11;
    IOPCServer* server = nullptr;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server));
    factory->Release();
    if (FAILED(hr)) return 12;
    OPCSERVERSTATUS* status = nullptr;
    hr = server->GetStatus(&status);
    if (SUCCEEDED(hr)) {
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    int writeOutcome = SUCCEEDED(hr) ? WriteWithoutLink(server) : 0;
    server->Release();
    if (FAILED(hr)) return 13;
    if (writeOutcome != 0) return writeOutcome;
    // A link library found anywhere would defeat the test.
    if (GetModuleHandleW(L"twrealt.dll") || GetModuleHandleW(L"twbrow.dll")) return 14;
    return 0;
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_CASE("without its link libraries the server is created, traces each missing interface once, and refuses writes")
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ChildRun child = RunChild(L"\"" + std::wstring(self) + L"\" --child");
    INFO("child output: " << child.out << child.err);
    CHECK(child.exitCode == 0);
    const std::string realtime = "Failed to get a KelvaneRealTime interface\n";
    const std::string browser = "Failed to get a KelvaneBrowser interface\n";
    CHECK(Occurrences(child.out, realtime) == 1);
    CHECK(Occurrences(child.out, browser) == 1);
    CHECK(child.out.find(realtime) < child.out.find(browser));
}

// The child skips the test framework: it only creates a server.
struct ChildMode {
    ChildMode()
    {
        if (std::wstring(GetCommandLineW()).find(L"--child") == std::wstring::npos) return;
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int code = CreateServerHere();
        CoUninitialize();
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    }
} g_childMode;
