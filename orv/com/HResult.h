#pragma once
// The one mapping from C++ failures to HRESULTs used at every COM boundary.
//
// Inside a COM method, code throws; the method's single catch-all returns
// HResultFromCaught(), which maps our HRESULT exception to its code, support-layer
// exceptions to their failure code, std::bad_alloc to E_OUTOFMEMORY and anything
// else to E_FAIL.

#include <windows.h>

#include <cstddef>
#include <exception>

namespace orv::com {

class HResultError : public std::exception {
public:
    explicit HResultError(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Code() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "HRESULT failure"; }

private:
    HRESULT m_hr;
};

[[noreturn]] void ThrowHResult(HRESULT hr);

inline HRESULT ThrowIfFailed(HRESULT hr)
{
    if (FAILED(hr)) ThrowHResult(hr);
    return hr;
}

// Throws the calling thread's last Win32 error as an HRESULT.
[[noreturn]] void ThrowLastError();

// Call only from inside a catch block.
HRESULT HResultFromCaught() noexcept;

// An out-parameter must be given and writable for its full size before anything changes.
bool IsWritable(const void* p, std::size_t bytes) noexcept;

template <class T>
bool IsWritableOut(T* p) noexcept
{
    return IsWritable(p, sizeof(T));
}

// The module (DLL or EXE) that contains this code; message tables and the module path
// are looked up through it.
HMODULE ThisModule() noexcept;

}  // namespace orv::com

namespace orv::com {

// Calls into a client's callback. A client that lets an exception escape its callback has
// a bug, but it must not take the server's worker thread down with it: the call then
// counts as failed.
template <class Call>
HRESULT CallClient(Call call) noexcept
{
    try {
        return call();
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace orv::com
