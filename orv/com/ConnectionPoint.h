#pragma once
// A connection point that holds at most one sink (cookie 1), embedded in the object that
// is its container. It has no reference count of its own: AddRef and Release go to the
// container, so a client holding the connection point keeps the container alive and no
// reference cycle exists.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/Enumerator.h"

#include <ocidl.h>
#include <olectl.h>

namespace orv::com {

template <class Sink>
class SingleSinkConnectionPoint final : public IConnectionPoint {
public:
    static constexpr DWORD kCookie = 1;

    // `container` is the identity of the owning object; it must outlive this member.
    explicit SingleSinkConnectionPoint(IUnknown* container) noexcept : m_container(container) {}

    // The advised sink with a reference added, or null; callers call it without holding any lock.
    ComPtr<Sink> CurrentSink()
    {
        CSingleLock hold(m_lock);
        return m_sink;
    }

    // Refuses every later Advise with E_FAIL; a sink already advised stays.
    void Close()
    {
        CSingleLock hold(m_lock);
        m_closed = true;
    }

    // Drops the sink, if any, without calling it; for the container's tear-down.
    void Disconnect()
    {
        ComPtr<Sink> released;
        CSingleLock hold(m_lock);
        released = std::move(m_sink);
    }

    // IConnectionPointContainer, for a container with this one point.
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) noexcept
    {
        if (!ppCP) return E_POINTER;
        *ppCP = nullptr;
        if (riid != __uuidof(Sink)) return CONNECT_E_NOCONNECTION;
        AddRef();
        *ppCP = this;
        return S_OK;
    }

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        try {
            CEnumConnectionPoints::Vector points;
            points.emplace_back(this);
            return CreateEnumerator<CEnumConnectionPoints>(std::move(points), ppEnum);
        } catch (...) {
            return HResultFromCaught();
        }
    }

    // IUnknown
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
            AddRef();
            *ppv = static_cast<IConnectionPoint*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return m_container->AddRef(); }
    IFACEMETHODIMP_(ULONG) Release() noexcept override { return m_container->Release(); }

    // IConnectionPoint
    IFACEMETHODIMP GetConnectionInterface(IID* pIID) noexcept override
    {
        if (!pIID) return E_POINTER;
        *pIID = __uuidof(Sink);
        return S_OK;
    }

    IFACEMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept override
    {
        if (!ppCPC) return E_POINTER;
        return m_container->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
    }

    IFACEMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept override
    {
        if (pdwCookie) *pdwCookie = 0;
        if (!pUnkSink || !pdwCookie) return E_POINTER;
        ComPtr<Sink> sink;
        HRESULT hr = pUnkSink->QueryInterface(__uuidof(Sink), sink.PutVoid());
        if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
        if (FAILED(hr)) return hr;
        {
            CSingleLock hold(m_lock);
            if (m_closed) return E_FAIL;
            if (!m_sink) {
                m_sink = std::move(sink);
                *pdwCookie = kCookie;
                return S_OK;
            }
        }
        return CONNECT_E_ADVISELIMIT;  // `sink` is released here, outside the lock
    }

    IFACEMETHODIMP Unadvise(DWORD dwCookie) noexcept override
    {
        ComPtr<Sink> released;
        {
            CSingleLock hold(m_lock);
            if (dwCookie != kCookie || !m_sink) return CONNECT_E_NOCONNECTION;
            released = std::move(m_sink);
        }
        return S_OK;
    }

    IFACEMETHODIMP EnumConnections(IEnumConnections** ppEnum) noexcept override
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        try {
            CEnumConnections::Vector connections;
            {
                CSingleLock hold(m_lock);
                if (m_sink) connections.push_back({ComPtr<IUnknown>(m_sink.Get()), kCookie});
            }
            return CreateEnumerator<CEnumConnections>(std::move(connections), ppEnum);
        } catch (...) {
            return HResultFromCaught();
        }
    }

private:
    IUnknown* m_container;
    CCriticalSection m_lock;
    ComPtr<Sink> m_sink;
    bool m_closed = false;
};

}  // namespace orv::com
