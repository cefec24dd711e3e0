#pragma once
// Data-change subscriptions: an IOPCDataCallback sink that queues what the server sends,
// and the advise on a group's connection point, undone when the owner goes.
//
// The server calls the sink on threads of its own; the sink only copies the values into
// the queue, and the watch loop takes them out on the main thread.

#include "ComOwners.h"
#include "Session.h"
#include "orv/com/ComObject.h"

#include <opcda.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace opcq {

struct ItemChange {
    OPCHANDLE clientHandle = 0;
    UniqueVariant value;
    WORD quality = 0;
    FILETIME timestamp{};
    HRESULT error = S_OK;
};

class ChangeQueue {
public:
    void Push(std::vector<ItemChange> changes);
    // Everything queued, waiting up to `timeout` for something to arrive.
    std::vector<ItemChange> TakeAll(std::chrono::milliseconds timeout);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<ItemChange> m_changes;
};

// Made by orv::com::MakeComObject, which hands out the first reference.
class DataCallbackSink final : public orv::com::ComObject<DataCallbackSink, IOPCDataCallback> {
public:
    ChangeQueue& Changes() { return m_queue; }

    // IOPCDataCallback
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                 OPCHANDLE* pClienthandles, HRESULT* pErrors) override;
    STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override;

private:
    ChangeQueue m_queue;
};

// The sink advised on the group's IOPCDataCallback connection point for this object's
// lifetime.
class DataChangeAdvise {
public:
    DataChangeAdvise(const OpcServer& server, IUnknown* group, IOPCDataCallback* sink);
    DataChangeAdvise(const DataChangeAdvise&) = delete;
    DataChangeAdvise& operator=(const DataChangeAdvise&) = delete;
    ~DataChangeAdvise();

private:
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

}  // namespace opcq
