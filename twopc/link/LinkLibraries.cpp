#include "twopc/link/LinkLibraries.h"

#include "orv/com/HResult.h"

#include <string>

namespace twopc::link {
namespace {

std::wstring ServerDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(orv::com::ThisModule(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

HMODULE OpenLibrary(const std::wstring& directory, const wchar_t* name)
{
    HMODULE library = nullptr;
    if (!directory.empty())
        library = LoadLibraryExW((directory + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) library = LoadLibraryW(name);
    return library;
}

template <class Fn>
Fn Export(HMODULE library, const char* name)
{
    return library ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}

LinkExports LoadLink()
{
    std::wstring directory = ServerDirectory();
    HMODULE sock = OpenLibrary(directory, L"twsock.dll");
    HMODULE realt = OpenLibrary(directory, L"twrealt.dll");
    HMODULE brow = OpenLibrary(directory, L"twbrow.dll");
    HMODULE dynam = OpenLibrary(directory, L"twdynam.dll");

    LinkExports exports;
    exports.newKelvaneRealTime = Export<NewKelvaneRealTimeFn>(realt, "NewKelvaneRealTime");
    exports.newKelvaneBrowser = Export<NewKelvaneBrowserFn>(brow, "NewKelvaneBrowser");
    exports.getIKelvaneOEM = Export<GetIKelvaneOEMFn>(sock, "GetIKelvaneOEM");
    exports.getHostMachineName = Export<GetHostMachineNameFn>(sock, "GetHostMachineName");
    exports.newUnicodeGuts = Export<NewUnicodeGutsFn>(dynam, "NewUnicodeGuts");
    return exports;
}

}  // namespace

const LinkExports& Link()
{
    static const LinkExports exports = LoadLink();
    return exports;
}

}  // namespace twopc::link
