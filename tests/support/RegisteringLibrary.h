#pragma once
// A self-registering library of the build, loaded from the test's own folder, for tests
// that call its DllRegisterServer and DllUnregisterServer.

#include "ChildProcess.h"

#include <string>

namespace twopc::test {

class RegisteringLibrary {
public:
    explicit RegisteringLibrary(const wchar_t* fileName)
        : m_module(LoadLibraryW((OwnDirectory() + fileName).c_str()))
    {
        REQUIRE(m_module != nullptr);
        wchar_t path[MAX_PATH];
        m_path.assign(path, GetModuleFileNameW(m_module, path, MAX_PATH));
    }
    ~RegisteringLibrary() { FreeLibrary(m_module); }
    RegisteringLibrary(const RegisteringLibrary&) = delete;
    RegisteringLibrary& operator=(const RegisteringLibrary&) = delete;

    HRESULT Register() { return Call("DllRegisterServer"); }
    HRESULT Unregister() { return Call("DllUnregisterServer"); }
    const std::wstring& Path() const { return m_path; }

private:
    HRESULT Call(const char* name)
    {
        using RegisterFn = HRESULT(STDAPICALLTYPE*)();
        auto fn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
        return fn ? fn() : E_UNEXPECTED;
    }

    HMODULE m_module;
    std::wstring m_path;
};

}  // namespace twopc::test
