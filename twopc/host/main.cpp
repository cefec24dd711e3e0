// twopcsrv.exe: /RegServer, /UnregServer, or (started by COM) -Embedding. It writes
// nothing anywhere but the registry; the exit code says whether it succeeded.

#include "twopc/host/LocalServer.h"

#include <cstdlib>
#include <cwchar>

namespace {

bool IsSwitch(const wchar_t* argument, const wchar_t* name)
{
    return (argument[0] == L'/' || argument[0] == L'-') && _wcsicmp(argument + 1, name) == 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    HRESULT hr = E_INVALIDARG;
    if (__argc < 2 || IsSwitch(__wargv[1], L"Embedding") || IsSwitch(__wargv[1], L"Automation"))
        hr = twopc::host::ServeEmbedded();
    else if (IsSwitch(__wargv[1], L"RegServer"))
        hr = twopc::host::RegisterLocalServer();
    else if (IsSwitch(__wargv[1], L"UnregServer"))
        hr = twopc::host::UnregisterLocalServer();
    return SUCCEEDED(hr) ? 0 : 1;
}
