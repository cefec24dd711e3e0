#include "Subscription.h"

#include <iterator>

namespace opcq {

void ChangeQueue::Push(std::vector<ItemChange> changes)
{
    {
        std::scoped_lock hold(m_mutex);
        m_changes.insert(m_changes.end(), std::make_move_iterator(changes.begin()),
                         std::make_move_iterator(changes.end()));
    }
    m_arrived.notify_all();
}

std::vector<ItemChange> ChangeQueue::TakeAll(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(m_mutex);
    m_arrived.wait_for(hold, timeout, [this] { return !m_changes.empty(); });
    std::vector<ItemChange> taken;
    taken.swap(m_changes);
    return taken;
}

// IOPCDataCallback

STDMETHODIMP DataCallbackSink::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                                            OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                            FILETIME* pftTimeStamps, HRESULT* pErrors)
{
    if (dwCount == 0) return S_OK;
    if (!phClientItems) return E_INVALIDARG;
    try {
        std::vector<ItemChange> changes(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            changes[i].clientHandle = phClientItems[i];
            if (pvValues) changes[i].value = UniqueVariant::CopyOf(pvValues[i]);
            if (pwQualities) changes[i].quality = pwQualities[i];
            if (pftTimeStamps) changes[i].timestamp = pftTimeStamps[i];
            if (pErrors) changes[i].error = pErrors[i];
        }
        m_queue.Push(std::move(changes));
        return S_OK;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

STDMETHODIMP DataCallbackSink::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                              FILETIME*, HRESULT*)
{
    return S_OK;  // this client makes no asynchronous reads
}

STDMETHODIMP DataCallbackSink::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*)
{
    return S_OK;
}

STDMETHODIMP DataCallbackSink::OnCancelComplete(DWORD, OPCHANDLE)
{
    return S_OK;
}

DataChangeAdvise::DataChangeAdvise(const OpcServer& server, IUnknown* group, IOPCDataCallback* sink)
{
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = group->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    server.Check(hr, L"the group does not offer IConnectionPointContainer");
    server.Check(container->FindConnectionPoint(IID_IOPCDataCallback, m_point.Put()),
                 L"the group has no IOPCDataCallback connection point");
    server.Check(m_point->Advise(sink, &m_cookie), L"Advise");
}

DataChangeAdvise::~DataChangeAdvise()
{
    if (m_point && m_cookie) m_point->Unadvise(m_cookie);
}

}  // namespace opcq
