#pragma once
// Enumerators over a vector that never changes after creation. Clones share the vector
// through shared ownership, so the data lives as long as any enumerator that reads it.
//
// A copy policy names the element type handed out (Out), the type kept (Stored), how an
// element is copied out (false when that failed for want of memory) and freed again, and
// what Next answers when there is nothing at all to enumerate.

#include "orv/com/ComObject.h"
#include "orv/com/Owners.h"

#include <ocidl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace orv::com {

template <class I>
struct CopyInterface {
    using Out = I*;
    using Stored = ComPtr<I>;
    static constexpr HRESULT kEmptyResult = E_FAIL;
    static bool CopyOut(Out* out, const Stored& stored) noexcept
    {
        stored.CopyTo(out);
        return true;
    }
    static void Free(Out* out) noexcept { (*out)->Release(); }
};

struct CopyWideString {
    using Out = LPOLESTR;
    using Stored = std::wstring;
    static constexpr HRESULT kEmptyResult = E_FAIL;
    static bool CopyOut(Out* out, const Stored& stored) noexcept
    {
        *out = static_cast<wchar_t*>(CoTaskMemAlloc((stored.size() + 1) * sizeof(wchar_t)));
        if (*out) std::copy_n(stored.c_str(), stored.size() + 1, *out);
        return *out != nullptr;
    }
    static void Free(Out* out) noexcept { CoTaskMemFree(*out); }
};

struct StoredConnection {
    ComPtr<IUnknown> sink;
    DWORD cookie;
};

struct CopyConnection {
    using Out = CONNECTDATA;
    using Stored = StoredConnection;
    static constexpr HRESULT kEmptyResult = S_FALSE;
    static bool CopyOut(Out* out, const Stored& stored) noexcept
    {
        stored.sink.CopyTo(&out->pUnk);
        out->dwCookie = stored.cookie;
        return true;
    }
    static void Free(Out* out) noexcept { out->pUnk->Release(); }
};

template <class EnumInterface, class Policy>
class CComEnumVectImpl final : public ComObject<CComEnumVectImpl<EnumInterface, Policy>, EnumInterface> {
public:
    using Out = typename Policy::Out;
    using Stored = typename Policy::Stored;
    using Vector = std::vector<Stored>;

    explicit CComEnumVectImpl(std::shared_ptr<const Vector> data, std::size_t position = 0)
        : m_data(std::move(data)), m_position(position)
    {
    }

    // EnumInterface
    IFACEMETHODIMP Next(ULONG celt, Out* rgelt, ULONG* pceltFetched) noexcept override
    {
        if (!rgelt) return E_POINTER;
        if (m_data->empty()) {
            if (pceltFetched) *pceltFetched = 0;
            return Policy::kEmptyResult;
        }
        std::size_t n = std::min<std::size_t>(celt, m_data->size() - m_position);
        for (std::size_t i = 0; i < n; ++i) {
            if (Policy::CopyOut(&rgelt[i], (*m_data)[m_position + i])) continue;
            // All or nothing: the elements already copied go back, the position stays.
            while (i-- > 0) Policy::Free(&rgelt[i]);
            if (pceltFetched) *pceltFetched = 0;
            return E_OUTOFMEMORY;
        }
        m_position += n;
        if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
        return n < celt ? S_FALSE : S_OK;
    }

    IFACEMETHODIMP Skip(ULONG celt) noexcept override
    {
        std::size_t remaining = m_data->size() - m_position;
        if (remaining < celt) {
            m_position = m_data->size();
            return S_FALSE;
        }
        m_position += celt;
        return S_OK;
    }

    IFACEMETHODIMP Reset() noexcept override
    {
        m_position = 0;
        return S_OK;
    }

    IFACEMETHODIMP Clone(EnumInterface** ppEnum) noexcept override
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        ClientScope client(this->OwningClient());
        return CreateComObject<CComEnumVectImpl>(__uuidof(EnumInterface), reinterpret_cast<void**>(ppEnum),
                                                 m_data, m_position);
    }

private:
    std::shared_ptr<const Vector> m_data;
    std::size_t m_position;
};

template <class EnumInterface, class Policy>
using CComEnum2 = CComEnumVectImpl<EnumInterface, Policy>;

using CEnumUnknown = CComEnum2<IEnumUnknown, CopyInterface<IUnknown>>;
using CEnumString = CComEnum2<IEnumString, CopyWideString>;
using CEnumConnectionPoints = CComEnum2<IEnumConnectionPoints, CopyInterface<IConnectionPoint>>;
using CEnumConnections = CComEnum2<IEnumConnections, CopyConnection>;

// Hands a new enumerator over `elements` to *ppEnum.
template <class Enum, class EnumInterface>
HRESULT CreateEnumerator(typename Enum::Vector elements, EnumInterface** ppEnum) noexcept
{
    try {
        auto data = std::make_shared<const typename Enum::Vector>(std::move(elements));
        return CreateComObject<Enum>(__uuidof(EnumInterface), reinterpret_cast<void**>(ppEnum), std::move(data));
    } catch (...) {
        return HResultFromCaught();
    }
}

}  // namespace orv::com
