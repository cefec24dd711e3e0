#pragma once
// An IAdviseSink for the OPC 1.0 data object that records every OnDataChange. It lives on
// the test's stack: declare it before the group that will hold it. `onDataChange`, when
// set, runs after the call is recorded, inside the server's call.

#include "ComTest.h"

#include <functional>
#include <mutex>
#include <vector>

namespace twopc::test {

// One OnDataChange as the sink saw it; the block is copied, since it is only lent.
struct Received {
    FORMATETC format;
    DWORD tymed;
    bool releaseObject;
    std::vector<BYTE> bytes;
};

class RecordingSink : public StackObject<IAdviseSink> {
public:
    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        Received call{*format, medium->tymed, medium->pUnkForRelease != nullptr, {}};
        if (medium->tymed == TYMED_HGLOBAL) {
            const auto* p = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
            if (p) call.bytes.assign(p, p + GlobalSize(medium->hGlobal));
            GlobalUnlock(medium->hGlobal);
        }
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_calls.push_back(std::move(call));
        }
        if (onDataChange) onDataChange();
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    std::vector<Received> Calls()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }
    std::function<void()> onDataChange;

    std::size_t Count()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls.size();
    }

private:
    std::mutex m_mutex;
    std::vector<Received> m_calls;
};

}  // namespace twopc::test
