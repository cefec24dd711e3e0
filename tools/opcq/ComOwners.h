#pragma once
// Owners for what a COM client receives. Interface references, single VARIANTs and
// task-allocator blocks have the owners of orv/com; the arrays here free their elements too.

#include "orv/com/ComPtr.h"
#include "orv/com/Owners.h"

#include <cstddef>
#include <utility>

namespace opcq {

using orv::com::CoTaskArray;
using orv::com::ComPtr;
using orv::com::UniqueVariant;

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
