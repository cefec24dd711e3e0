#include "orv/com/HResult.h"

#include "orv/hmx/Exception.h"

#include <cstdint>
#include <new>

namespace orv::com {

void ThrowHResult(HRESULT hr)
{
    throw HResultError(hr);
}

void ThrowLastError()
{
    DWORD error = GetLastError();
    throw HResultError(error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error));
}

HRESULT HResultFromCaught() noexcept
{
    try {
        throw;
    } catch (const HResultError& e) {
        return e.Code();
    } catch (const orv::hmx::exception::Exception& e) {
        // Support-layer codes are HRESULT-shaped where they are failures; the rest are
        // library error numbers that mean nothing to a COM client.
        HRESULT code = static_cast<HRESULT>(e.ErrorCode());
        return FAILED(code) ? code : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

bool IsWritable(const void* p, std::size_t bytes) noexcept
{
    return p != nullptr && !IsBadWritePtr(const_cast<void*>(p), bytes);
}

bool IsReadable(const void* p, std::size_t bytes) noexcept
{
    if (!p) return false;
    auto address = reinterpret_cast<std::uintptr_t>(p);
    if (bytes > UINTPTR_MAX - address) return false;
    const std::uintptr_t end = address + bytes;
    // One query per region of the address space, not per page: the cost does not grow
    // with the count.
    constexpr DWORD kUnreadable = PAGE_NOACCESS | PAGE_GUARD;
    while (address < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == 0) return false;
        if (region.State != MEM_COMMIT || region.Protect == 0 || (region.Protect & kUnreadable) != 0) return false;
        address = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

HMODULE ThisModule() noexcept
{
    static const char anchor = 0;
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&anchor), &module);
    return module;
}

}  // namespace orv::com
