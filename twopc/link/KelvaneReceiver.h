#pragma once
// Common shape of the two receivers that the link calls back: a plain object (not a
// module-counted COM class) with an atomic reference count that starts at 0, answering
// IUnknown and its receiver interface, and holding the link interface that the link's
// factory function filled in. The server's shut-down releases that interface before the
// receiver's last reference goes; the receiver never releases it itself.

#include "orv/com/ComPtr.h"
#include "twopc/link/KelvaneLink.h"

#include <atomic>

namespace twopc::link {

template <class ReceiverInterface, const GUID& ReceiverIid, class LinkInterface>
class KelvaneReceiver : public ReceiverInterface {
public:
    KelvaneReceiver() = default;
    KelvaneReceiver(const KelvaneReceiver&) = delete;
    KelvaneReceiver& operator=(const KelvaneReceiver&) = delete;
    virtual ~KelvaneReceiver() = default;

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == ReceiverIid) {
            AddRef();
            *ppv = static_cast<ReceiverInterface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() noexcept override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    IFACEMETHODIMP_(ULONG) Release() noexcept override
    {
        ULONG remaining = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0) delete this;
        return remaining;
    }

    // Filled by the link's factory function; null when the link could not be opened.
    orv::com::ComPtr<LinkInterface> linkInterface;

private:
    std::atomic<ULONG> m_refs{0};
};

}  // namespace twopc::link
