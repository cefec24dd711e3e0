#pragma once
// Owning smart pointer for COM interfaces: one reference, released on destruction.

#include <unknwn.h>

#include <utility>

namespace orv::com {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Adds a reference: the caller keeps its own.
    explicit ComPtr(T* p) noexcept : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept
    {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }

    // Takes over a reference that the caller already owns.
    static ComPtr Adopt(T* p) noexcept
    {
        ComPtr result;
        result.m_p = p;
        return result;
    }

    void Reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // For out-parameters of the form T**: releases what is held first.
    T** Put() noexcept
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    // Hands a new reference to an out-parameter.
    void CopyTo(T** out) const noexcept
    {
        if (m_p) m_p->AddRef();
        *out = m_p;
    }

    template <class U>
    HRESULT As(ComPtr<U>& out) const noexcept
    {
        return m_p ? m_p->QueryInterface(__uuidof(U), out.PutVoid()) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

}  // namespace orv::com
