#pragma once
// An IOPCDataCallback that records every call, for tests. It lives on the test's stack;
// OnDataChange can be made to fail, to block until released, or to run a hook.

#include "ComTest.h"

#include "sim/simctl.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace twopc::test {

struct RecordedItem {
    OPCHANDLE clientHandle;
    VARTYPE type;
    double number;  // the value as a double, when it converts
    std::wstring text;
    WORD quality;
    FILETIME timestamp;
    HRESULT error;
};

struct RecordedCall {
    char kind;  // 'D' data change, 'R' read complete, 'W' write complete, 'C' cancel complete
    DWORD transactionId;
    OPCHANDLE group;
    HRESULT masterQuality;
    HRESULT masterError;
    std::vector<RecordedItem> items;
};

class FakeDataCallback : public StackObject<IOPCDataCallback> {
public:
    STDMETHODIMP OnDataChange(DWORD transid, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError,
                              DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times,
                              HRESULT* errors) override
    {
        if (onDataChange) onDataChange();
        Record('D', transid, group, masterQuality, masterError, count, clients, values, qualities, times, errors);
        if (blockDataChange) {
            std::unique_lock<std::mutex> hold(m_mutex);
            ++blockedCalls;
            m_changed.notify_all();
            m_changed.wait(hold, [this] { return !blockDataChange; });
        }
        return dataChangeResult;
    }
    STDMETHODIMP OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError,
                                DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times,
                                HRESULT* errors) override
    {
        Record('R', transid, group, masterQuality, masterError, count, clients, values, qualities, times, errors);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT masterError, DWORD count,
                                 OPCHANDLE* clients, HRESULT* errors) override
    {
        Record('W', transid, group, S_OK, masterError, count, clients, nullptr, nullptr, nullptr, errors);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD transid, OPCHANDLE group) override
    {
        Record('C', transid, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        return S_OK;
    }

    // Waits until at least `count` calls have been recorded.
    bool WaitForCalls(std::size_t count, int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_calls.size() >= count; });
    }
    bool WaitForBlockedCall(int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return blockedCalls > 0; });
    }
    void Unblock()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        blockDataChange = false;
        m_changed.notify_all();
    }
    std::vector<RecordedCall> Calls()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }
    std::size_t CallCount()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls.size();
    }

    HRESULT dataChangeResult = S_OK;
    bool blockDataChange = false;
    int blockedCalls = 0;
    std::function<void()> onDataChange;

private:
    void Record(char kind, DWORD transid, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError, DWORD count,
                OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors)
    {
        RecordedCall call{kind, transid, group, masterQuality, masterError, {}};
        for (DWORD i = 0; i < count; ++i) {
            RecordedItem item{clients[i], VT_EMPTY, 0.0, L"", 0, {}, errors ? errors[i] : S_OK};
            if (values) {
                item.type = values[i].vt;
                VARIANT copy;
                VariantInit(&copy);
                if (SUCCEEDED(VariantChangeType(&copy, &values[i], 0, VT_R8))) item.number = copy.dblVal;
                VariantClear(&copy);
                if (values[i].vt == VT_BSTR && values[i].bstrVal) item.text = values[i].bstrVal;
            }
            if (qualities) item.quality = qualities[i];
            if (times) item.timestamp = times[i];
            call.items.push_back(item);
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls.push_back(std::move(call));
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RecordedCall> m_calls;
};

inline Ref<IConnectionPoint> DataCallbackPoint(IUnknown* group)
{
    Ref<IConnectionPoint> point;
    REQUIRE(As<IConnectionPointContainer>(group)->FindConnectionPoint(IID_IOPCDataCallback, point.Put()) == S_OK);
    return point;
}

// Advises `sink` on the group's data-callback connection point; returns the cookie.
inline DWORD AdviseDataCallback(IUnknown* group, IOPCDataCallback* sink)
{
    DWORD cookie = 0;
    REQUIRE(DataCallbackPoint(group)->Advise(sink, &cookie) == S_OK);
    return cookie;
}

inline void UnadviseDataCallback(IUnknown* group, DWORD cookie)
{
    CHECK(DataCallbackPoint(group)->Unadvise(cookie) == S_OK);
}

// Sets a simulated point's value, or its status alone.
inline void SetPoint(const wchar_t* point, double value)
{
    SimPointUpdate update{};
    update.fields = SIM_UPDATE_VALUE;
    update.type = SIM_VALUE_DOUBLE;
    update.real = value;
    REQUIRE(SimUpdatePoint(point, &update) == S_OK);
}

inline void SetPointStatus(const wchar_t* point, UINT status)
{
    SimPointUpdate update{};
    update.fields = SIM_UPDATE_STATUS;
    update.status = status;
    REQUIRE(SimUpdatePoint(point, &update) == S_OK);
}

}  // namespace twopc::test
