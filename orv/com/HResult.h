#pragma once
// The one mapping from C++ failures to HRESULTs used at every COM boundary.
//
// Inside a COM method, code throws; the method's single catch-all returns
// HResultFromCaught(), which maps our HRESULT exception to its code, support-layer
// exceptions to their failure code, std::bad_alloc to E_OUTOFMEMORY and anything
// else to E_FAIL.

#include <windows.h>

#include <cstddef>
#include <cstdint>
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

// An input array must be given and readable for every one of its `count` elements. A
// count larger than the client's array is refused this way at once, before anything is
// allocated for it (a count near 2^32 would otherwise cost gigabytes and minutes).
bool IsReadable(const void* p, std::size_t bytes) noexcept;

template <class T>
bool IsReadableArray(const T* p, std::size_t count) noexcept
{
    return count <= SIZE_MAX / sizeof(T) && IsReadable(p, count * sizeof(T));
}

// The module (DLL or EXE) that contains this code; message tables and the module path
// are looked up through it.
HMODULE ThisModule() noexcept;

}  // namespace orv::com

namespace orv::com {

// How many client callbacks the calling thread is inside. Work that would wait for
// something a callback's caller holds (a group's pending work, above all) must not wait
// when this is not zero.
inline thread_local unsigned t_clientCallbackDepth = 0;

inline bool InsideClientCallback() noexcept
{
    return t_clientCallbackDepth != 0;
}

// Calls into a client's callback. A client that lets an exception escape its callback has
// a bug, but it must not take the server's worker thread down with it: the call then
// counts as failed.
template <class Call>
HRESULT CallClient(Call call) noexcept
{
    struct Depth {
        Depth() noexcept { ++t_clientCallbackDepth; }
        ~Depth() { --t_clientCallbackDepth; }
    } depth;
    try {
        return call();
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace orv::com
