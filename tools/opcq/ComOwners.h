#pragma once
// Owners for what a COM client receives: interface references, task-allocator blocks
// and VARIANTs. Copying is deleted; each frees its resource exactly once.

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <utility>

namespace opcq {

// Holds one reference to an interface.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes over a reference that the caller already owns.
    static ComPtr Adopt(T* owned) noexcept
    {
        ComPtr result;
        result.m_p = owned;
        return result;
    }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    void Reset() noexcept
    {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }
    T** Put() noexcept
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    IUnknown** PutUnknown() noexcept { return reinterpret_cast<IUnknown**>(Put()); }
    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Another interface of the same object; empty when the object does not offer it.
    template <class U>
    ComPtr<U> As(HRESULT* result = nullptr) const noexcept
    {
        ComPtr<U> other;
        HRESULT hr = m_p ? m_p->QueryInterface(__uuidof(U), other.PutVoid()) : E_POINTER;
        if (result) *result = hr;
        return other;
    }

private:
    T* m_p = nullptr;
};

// A block from the COM task allocator that the callee handed to us. Elements that own
// memory themselves (strings, VARIANTs) are freed by the holders below, not here.
template <class T>
class TaskMem {
public:
    TaskMem() noexcept = default;
    TaskMem(TaskMem&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    TaskMem& operator=(TaskMem&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    TaskMem(const TaskMem&) = delete;
    TaskMem& operator=(const TaskMem&) = delete;
    ~TaskMem() { Reset(); }

    void Reset() noexcept { CoTaskMemFree(std::exchange(m_p, nullptr)); }
    T** Put() noexcept
    {
        Reset();
        return &m_p;
    }
    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator[](std::size_t i) const noexcept { return m_p[i]; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// An array of task-allocator strings in a task-allocator block (the property
// descriptions, for one): frees every string, then the array.
class TaskStringArray {
public:
    TaskStringArray() noexcept = default;
    TaskStringArray(const TaskStringArray&) = delete;
    TaskStringArray& operator=(const TaskStringArray&) = delete;
    ~TaskStringArray() { Reset(); }

    void Reset() noexcept
    {
        if (m_strings)
            for (std::size_t i = 0; i < m_count; ++i) CoTaskMemFree(m_strings[i]);
        CoTaskMemFree(std::exchange(m_strings, nullptr));
    }
    // The count must be set once the call has said how many strings it returned.
    LPWSTR** Put() noexcept
    {
        Reset();
        return &m_strings;
    }
    void SetCount(std::size_t count) noexcept { m_count = count; }
    const wchar_t* operator[](std::size_t i) const noexcept { return m_strings[i] ? m_strings[i] : L""; }

private:
    LPWSTR* m_strings = nullptr;
    std::size_t m_count = 0;
};

class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&m_value); }
    UniqueVariant(UniqueVariant&& other) noexcept : UniqueVariant() { std::swap(m_value, other.m_value); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept
    {
        if (this != &other) {
            Clear();
            std::swap(m_value, other.m_value);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { Clear(); }

    // A deep copy; the copy is empty when the source cannot be copied.
    static UniqueVariant CopyOf(const VARIANT& source) noexcept
    {
        UniqueVariant copy;
        // Some SDKs declare the source without const.
        if (FAILED(VariantCopy(&copy.m_value, const_cast<VARIANT*>(&source)))) copy.Clear();
        return copy;
    }
    // Takes over a VARIANT that the caller owns and leaves it empty.
    static UniqueVariant Adopt(VARIANT& owned) noexcept
    {
        UniqueVariant result;
        result.m_value = owned;
        VariantInit(&owned);
        return result;
    }

    void Clear() noexcept { VariantClear(&m_value); }
    VARIANT* Get() noexcept { return &m_value; }
    const VARIANT* Get() const noexcept { return &m_value; }
    const VARIANT& Ref() const noexcept { return m_value; }
    VARIANT* operator->() noexcept { return &m_value; }
    const VARIANT* operator->() const noexcept { return &m_value; }

private:
    VARIANT m_value;
};

// An array of `count` VARIANTs in a task-allocator block: clears each, then frees the block.
class TaskVariantArray {
public:
    TaskVariantArray() noexcept = default;
    TaskVariantArray(const TaskVariantArray&) = delete;
    TaskVariantArray& operator=(const TaskVariantArray&) = delete;
    ~TaskVariantArray() { Reset(); }

    void Reset() noexcept
    {
        if (m_values)
            for (std::size_t i = 0; i < m_count; ++i) VariantClear(&m_values[i]);
        CoTaskMemFree(std::exchange(m_values, nullptr));
    }
    VARIANT** Put(std::size_t count) noexcept
    {
        Reset();
        m_count = count;
        return &m_values;
    }
    VARIANT& operator[](std::size_t i) const noexcept { return m_values[i]; }
    explicit operator bool() const noexcept { return m_values != nullptr; }

private:
    VARIANT* m_values = nullptr;
    std::size_t m_count = 0;
};

}  // namespace opcq
