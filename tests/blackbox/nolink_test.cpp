// A server whose link libraries are missing still starts, and says so on standard
// output. This program runs from a folder that holds twopc.dll and nothing of the link:
// it starts itself again as a child with its output on a pipe, and checks what the
// child printed.

#include "ComTest.h"

#include <string>

using namespace twopc::test;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH];
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

// Child: create and release one server from the twopc.dll beside this program.
int RunChild()
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
    server->Release();
    if (FAILED(hr)) return 13;
    // A link library found anywhere would defeat the test.
    if (GetModuleHandleW(L"twrealt.dll") || GetModuleHandleW(L"twbrow.dll")) return 14;
    return 0;
}

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

ChildResult RunSelfAsChild()
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    REQUIRE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" --child";
    PROCESS_INFORMATION process{};
    REQUIRE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process));
    CloseHandle(writeEnd);

    ChildResult result;
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0) result.output.append(buffer, read);
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(readEnd);
    // The child's standard output is in text mode: its line breaks arrive as CR LF.
    for (auto at = result.output.find("\r\n"); at != std::string::npos; at = result.output.find("\r\n", at))
        result.output.erase(at, 1);
    return result;
}

std::size_t Occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_CASE("without its link libraries the server is created and traces each missing interface once")
{
    ChildResult child = RunSelfAsChild();
    INFO("child output: " << child.output);
    CHECK(child.exitCode == 0);
    const std::string realtime = "Failed to get a KelvaneRealTime interface\n";
    const std::string browser = "Failed to get a KelvaneBrowser interface\n";
    CHECK(Occurrences(child.output, realtime) == 1);
    CHECK(Occurrences(child.output, browser) == 1);
    CHECK(child.output.find(realtime) < child.output.find(browser));
}

// The child skips the test framework: it only creates a server.
struct ChildMode {
    ChildMode()
    {
        if (std::wstring(GetCommandLineW()).find(L"--child") == std::wstring::npos) return;
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int code = RunChild();
        CoUninitialize();
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    }
} g_childMode;
