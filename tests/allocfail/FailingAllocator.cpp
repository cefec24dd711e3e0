// The allocators of the allocation-failure build of the server library: every form of
// operator new and delete, counted, and the task and string allocators as the library
// calls them. One countdown numbers all of their allocations and fails the chosen one;
// the test drives it through the exports at the end.

#include "twopc/group/IdMgr.h"

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {

// The allocations still to go before the one that fails; zero or less when disarmed.
std::atomic<long> g_countdown{0};
std::atomic<bool> g_fired{false};
std::atomic<long> g_live{0};

bool NextAllocationFails() noexcept
{
    if (g_countdown.load(std::memory_order_relaxed) <= 0) return false;
    if (g_countdown.fetch_sub(1) != 1) return false;
    g_fired = true;
    return true;
}

void* Allocate(std::size_t size, std::size_t alignment) noexcept
{
    if (NextAllocationFails()) return nullptr;
    if (size == 0) size = 1;
    void* p = alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__ ? _aligned_malloc(size, alignment) : std::malloc(size);
    if (p) ++g_live;
    return p;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment)
{
    void* p = Allocate(size, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}

void Free(void* p) noexcept
{
    if (!p) return;
    --g_live;
    std::free(p);
}

void FreeAligned(void* p) noexcept
{
    if (!p) return;
    --g_live;
    _aligned_free(p);
}

constexpr std::size_t kDefault = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

// The task allocator and OLE Automation's string allocator, as this library calls them:
// its import table is pointed at these once it is loaded. Allocations that the link
// libraries or COM itself make are not counted.
decltype(&CoTaskMemAlloc) g_coTaskMemAlloc;
decltype(&CoTaskMemRealloc) g_coTaskMemRealloc;
decltype(&SysAllocString) g_sysAllocString;
decltype(&SysAllocStringLen) g_sysAllocStringLen;
decltype(&VariantCopy) g_variantCopy;

LPVOID WINAPI FailingCoTaskMemAlloc(SIZE_T size)
{
    return NextAllocationFails() ? nullptr : g_coTaskMemAlloc(size);
}
LPVOID WINAPI FailingCoTaskMemRealloc(LPVOID block, SIZE_T size)
{
    return NextAllocationFails() ? nullptr : g_coTaskMemRealloc(block, size);
}
BSTR WINAPI FailingSysAllocString(const OLECHAR* text)
{
    return NextAllocationFails() ? nullptr : g_sysAllocString(text);
}
BSTR WINAPI FailingSysAllocStringLen(const OLECHAR* text, UINT length)
{
    return NextAllocationFails() ? nullptr : g_sysAllocStringLen(text, length);
}
// Only a string's copy allocates.
HRESULT WINAPI FailingVariantCopy(VARIANTARG* target, VARIANTARG* source)
{
    if (source && V_VT(source) == VT_BSTR && NextAllocationFails()) return E_OUTOFMEMORY;
    return g_variantCopy(target, source);
}

template <class Fn>
void Redirect(HMODULE module, const wchar_t* library, const char* name, Fn replacement, Fn& original)
{
    original = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(library), name)));
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name; ++entry) {
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk); slot->u1.Function; ++slot) {
            if (slot->u1.Function != reinterpret_cast<ULONG_PTR>(original)) continue;
            DWORD protection;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
        }
    }
}

const bool g_redirected = [] {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&NextAllocationFails), &self);
    Redirect(self, L"ole32.dll", "CoTaskMemAlloc", &FailingCoTaskMemAlloc, g_coTaskMemAlloc);
    Redirect(self, L"ole32.dll", "CoTaskMemRealloc", &FailingCoTaskMemRealloc, g_coTaskMemRealloc);
    Redirect(self, L"oleaut32.dll", "SysAllocString", &FailingSysAllocString, g_sysAllocString);
    Redirect(self, L"oleaut32.dll", "SysAllocStringLen", &FailingSysAllocStringLen, g_sysAllocStringLen);
    Redirect(self, L"oleaut32.dll", "VariantCopy", &FailingVariantCopy, g_variantCopy);
    return true;
}();

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, kDefault); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, kDefault); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, kDefault); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, kDefault); }
void* operator new(std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
// Aligned blocks came from _aligned_malloc only when the alignment was above the default.
void operator delete(void* p, std::align_val_t a) noexcept
{
    static_cast<std::size_t>(a) > kDefault ? FreeAligned(p) : Free(p);
}
void operator delete[](void* p, std::align_val_t a) noexcept
{
    static_cast<std::size_t>(a) > kDefault ? FreeAligned(p) : Free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept { operator delete(p, a); }
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept { operator delete[](p, a); }
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept { operator delete(p, a); }
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept { operator delete[](p, a); }

extern "C" {

// Makes the n-th allocation from now (n >= 1) fail, once.
void WINAPI AllocFailArm(LONG n)
{
    g_fired = false;
    g_countdown = n;
}

// Disarms; answers whether the armed allocation did fail.
BOOL WINAPI AllocFailDisarm()
{
    g_countdown = 0;
    return g_fired.exchange(false);
}

// Whether the armed allocation has failed yet.
BOOL WINAPI AllocFailFired()
{
    return g_fired;
}

// Blocks from operator new not yet deleted.
LONG WINAPI AllocFailLiveBlocks()
{
    return g_live;
}

// Gives back every identifier handed out so far, so that the process-wide set of returned
// numbers is one range again: the numbers that are never given back (transaction IDs and
// generated group names) otherwise leave gaps whose ranges look like leaked blocks. Only
// while no server object exists.
void WINAPI AllocFailGiveBackIds()
{
    const unsigned long next = twopc::group::g_idMgr.AllocateId();
    for (unsigned long id = 1; id != 0 && id <= next; ++id) twopc::group::g_idMgr.FreeId(id);
}

}  // extern "C"
