#pragma once
// One owner type per resource kind that crosses a COM boundary. Copying is deleted;
// Detach() hands ownership to an out-parameter once the call has succeeded.

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace orv::com {

class UniqueBstr {
public:
    UniqueBstr() noexcept = default;
    explicit UniqueBstr(BSTR owned) noexcept : m_bstr(owned) {}
    // Copies the text; throws std::bad_alloc when the string cannot be allocated.
    static UniqueBstr Copy(const wchar_t* text);
    UniqueBstr(UniqueBstr&& other) noexcept : m_bstr(std::exchange(other.m_bstr, nullptr)) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        Reset(std::exchange(other.m_bstr, nullptr));
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { Reset(); }

    void Reset(BSTR owned = nullptr) noexcept
    {
        if (m_bstr) SysFreeString(m_bstr);
        m_bstr = owned;
    }
    BSTR Get() const noexcept { return m_bstr; }
    BSTR* Put() noexcept
    {
        Reset();
        return &m_bstr;
    }
    [[nodiscard]] BSTR Detach() noexcept { return std::exchange(m_bstr, nullptr); }

private:
    BSTR m_bstr = nullptr;
};

// True when the VARIANT's value owns nothing (a number, a date, a boolean, empty or
// null): copying it is then a plain assignment and dropping it needs no VariantClear.
// The per-value paths use this to stay out of oleaut32 for the common case.
inline bool OwnsNothing(VARTYPE type) noexcept
{
    switch (type) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4:
    case VT_UI4: case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8:
    case VT_CY: case VT_DATE: case VT_ERROR: case VT_BOOL:
        return true;
    default:
        return false;
    }
}

inline bool OwnsNothing(const VARIANT& value) noexcept
{
    return OwnsNothing(V_VT(&value));
}

// VariantClear, without oleaut32 for a value that owns nothing.
inline void ClearVariant(VARIANT& value) noexcept
{
    if (OwnsNothing(value))
        V_VT(&value) = VT_EMPTY;
    else
        VariantClear(&value);
}

// VariantClear(target) then VariantCopy(target, source), without oleaut32 when neither
// side owns anything.
inline HRESULT ReplaceVariant(VARIANT& target, const VARIANT& source) noexcept
{
    if (OwnsNothing(target) && OwnsNothing(source)) {
        target = source;
        return S_OK;
    }
    VariantClear(&target);
    // MinGW declares the source of VariantCopy non-const; it is only read.
    return VariantCopy(&target, const_cast<VARIANT*>(&source));
}

// Copies `source` into `target`; a copy that fails leaves VT_ERROR carrying the failure.
inline void CopyOrError(VARIANT& target, const VARIANT& source) noexcept
{
    const HRESULT hr = ReplaceVariant(target, source);
    if (FAILED(hr)) {
        V_VT(&target) = VT_ERROR;
        V_ERROR(&target) = hr;
    }
}

class UniqueVariant {
public:
    // What VariantInit does, without a call into oleaut32 on the per-value paths.
    UniqueVariant() noexcept { V_VT(&m_value) = VT_EMPTY; }
    UniqueVariant(UniqueVariant&& other) noexcept : UniqueVariant() { other.DetachTo(&m_value); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept
    {
        if (this != &other) {
            Clear();
            other.DetachTo(&m_value);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { Clear(); }

    // Takes over a VARIANT that the caller owns and leaves it empty.
    static UniqueVariant Adopt(VARIANT& owned) noexcept
    {
        UniqueVariant result;
        result.m_value = owned;
        VariantInit(&owned);
        return result;
    }
    // A deep copy; empty when the source cannot be copied.
    static UniqueVariant CopyOf(const VARIANT& source) noexcept
    {
        UniqueVariant copy;
        if (FAILED(ReplaceVariant(copy.m_value, source))) copy.Clear();
        return copy;
    }

    void Clear() noexcept { ClearVariant(m_value); }
    VARIANT* Get() noexcept { return &m_value; }
    const VARIANT* Get() const noexcept { return &m_value; }
    const VARIANT& Ref() const noexcept { return m_value; }
    VARIANT* operator->() noexcept { return &m_value; }
    const VARIANT* operator->() const noexcept { return &m_value; }
    // Moves the value into *out (which must hold nothing that needs freeing) and leaves this empty.
    void DetachTo(VARIANT* out) noexcept
    {
        *out = m_value;
        VariantInit(&m_value);
    }

private:
    VARIANT m_value;
};

// A fixed number of VARIANTs, owned and contiguous, so that the array can go to a callback
// as VARIANT*. Every value starts empty and is cleared on destruction; a value that owns
// nothing is dropped without a call into oleaut32 (the per-value paths rely on this).
class VariantArray {
public:
    VariantArray() noexcept = default;
    // Throws std::bad_alloc.
    explicit VariantArray(std::size_t count) : m_values(new VARIANT[count]()), m_count(count) {}
    // Deep copies of `count` values; throws the failure of a copy.
    static VariantArray CopyOf(const VARIANT* values, std::size_t count);
    VariantArray(VariantArray&& other) noexcept
        : m_values(std::move(other.m_values)), m_count(std::exchange(other.m_count, 0))
    {
    }
    VariantArray& operator=(VariantArray&& other) noexcept
    {
        if (this != &other) {
            ClearFirst(m_count);
            m_values = std::move(other.m_values);
            m_count = std::exchange(other.m_count, 0);
        }
        return *this;
    }
    VariantArray(const VariantArray&) = delete;
    VariantArray& operator=(const VariantArray&) = delete;
    ~VariantArray() { ClearFirst(m_count); }

    std::size_t Size() const noexcept { return m_count; }
    VARIANT* Data() noexcept { return m_values.get(); }
    const VARIANT* Data() const noexcept { return m_values.get(); }
    VARIANT& operator[](std::size_t i) noexcept { return m_values[i]; }
    const VARIANT& operator[](std::size_t i) const noexcept { return m_values[i]; }
    // Empties the first `count` values, so that the array can serve again.
    void ClearFirst(std::size_t count) noexcept
    {
        for (std::size_t i = 0; i < count; ++i) ClearVariant(m_values[i]);
    }

private:
    std::unique_ptr<VARIANT[]> m_values;
    std::size_t m_count = 0;
};

struct CoTaskMemDeleter {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};

// What a task-allocator array frees inside each element before the array itself: nothing
// for plain data, each VARIANT of an array of VARIANTs, or the VARIANT member of each record.
struct NothingInside {
    template <class T>
    void operator()(T&) const noexcept {}
};
struct VariantInside {
    void operator()(VARIANT& value) const noexcept { ClearVariant(value); }
};
template <auto Member>
struct VariantMemberInside {
    template <class Record>
    void operator()(Record& record) const noexcept
    {
        ClearVariant(record.*Member);
    }
};

// An array from the COM task allocator, the memory that belongs to a client once handed out.
// Elements start zero-filled; until Detach, the array frees what `Inside` names in each.
template <class T, class Inside = NothingInside>
class CoTaskArray {
public:
    CoTaskArray() noexcept = default;
    // Zero-filled; throws std::bad_alloc.
    explicit CoTaskArray(std::size_t count) : m_count(count)
    {
        if (count == 0) return;
        m_items = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * count));
        if (!m_items) throw std::bad_alloc();
        ZeroMemory(m_items, sizeof(T) * count);
    }
    CoTaskArray(CoTaskArray&& other) noexcept
        : m_items(std::exchange(other.m_items, nullptr)), m_count(std::exchange(other.m_count, 0))
    {
    }
    CoTaskArray& operator=(CoTaskArray&& other) noexcept
    {
        CoTaskArray(std::move(other)).Swap(*this);
        return *this;
    }
    CoTaskArray(const CoTaskArray&) = delete;
    CoTaskArray& operator=(const CoTaskArray&) = delete;
    ~CoTaskArray()
    {
        for (std::size_t i = 0; m_items && i < m_count; ++i) Inside()(m_items[i]);
        CoTaskMemFree(m_items);
    }

    void Swap(CoTaskArray& other) noexcept
    {
        std::swap(m_items, other.m_items);
        std::swap(m_count, other.m_count);
    }
    T* Get() const noexcept { return m_items; }
    std::size_t Size() const noexcept { return m_count; }
    T& operator[](std::size_t i) const noexcept { return m_items[i]; }
    explicit operator bool() const noexcept { return m_items != nullptr; }
    // For an out-parameter that receives a block from a callee: frees what is held. The
    // callee does not say how long the block is, so Size() is then 0.
    T** Put() noexcept
    {
        CoTaskArray().Swap(*this);
        return &m_items;
    }
    [[nodiscard]] T* Detach() noexcept
    {
        m_count = 0;
        return std::exchange(m_items, nullptr);
    }

private:
    T* m_items = nullptr;
    std::size_t m_count = 0;
};

// A task-allocator copy of a wide string, for out-parameters of type LPWSTR*.
CoTaskArray<wchar_t> CoTaskStringCopy(const wchar_t* text);

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE owned) noexcept : m_handle(owned) {}
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        Reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    void Reset(HANDLE owned = nullptr) noexcept
    {
        if (m_handle && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = owned;
    }
    HANDLE Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = nullptr;
};

class UniqueRegKey {
public:
    UniqueRegKey() noexcept = default;
    UniqueRegKey(UniqueRegKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;
    ~UniqueRegKey() { Reset(); }

    void Reset() noexcept
    {
        if (m_key) RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Get() const noexcept { return m_key; }
    HKEY* Put() noexcept
    {
        Reset();
        return &m_key;
    }

private:
    HKEY m_key = nullptr;
};

}  // namespace orv::com
