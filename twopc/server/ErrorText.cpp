#include "twopc/server/ErrorText.h"

#include "orv/com/HResult.h"
#include "orv/com/Owners.h"

namespace twopc::server {
namespace {

struct LocalBlock {
    char* text = nullptr;
    ~LocalBlock() { LocalFree(text); }
};

}  // namespace

HRESULT LookUpErrorText(HRESULT code, LCID locale, LPWSTR* ppString) noexcept
{
    *ppString = nullptr;
    try {
        LocalBlock found;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      orv::com::ThisModule(), static_cast<DWORD>(code), LANGIDFROMLCID(locale),
                                      reinterpret_cast<LPSTR>(&found.text), 0, nullptr);
        if (length == 0 || !found.text) return E_FAIL;

        int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, found.text, static_cast<int>(length), nullptr, 0);
        if (wideLength <= 0) return E_FAIL;
        orv::com::CoTaskArray<wchar_t> text(static_cast<std::size_t>(wideLength) + 1);
        MultiByteToWideChar(CP_THREAD_ACP, 0, found.text, static_cast<int>(length), text.Get(), wideLength);
        *ppString = text.Detach();
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace twopc::server
