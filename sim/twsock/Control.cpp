// The test control API of the simulated network.

#include "ComObject.h"
#include "Network.h"

#include <algorithm>
#include <optional>

extern "C" void WINAPI SimReset()
{
    try {
        sim::Network::Instance().Reset();
    } catch (...) {
        // Out of memory for the first values: the points keep what they had.
    }
}

extern "C" void WINAPI SimGetCounters(SimCounters* counters)
{
    if (counters) *counters = sim::Network::Instance().Counters();
}

extern "C" UINT WINAPI SimGetClientKind(wchar_t* buffer, UINT capacity)
{
    try {
        const std::wstring kind = sim::Network::Instance().ClientKind();
        if (buffer && capacity > 0) {
            const std::size_t copied = std::min<std::size_t>(kind.size(), capacity - 1);
            std::copy_n(kind.data(), copied, buffer);
            buffer[copied] = L'\0';
        }
        return static_cast<UINT>(kind.size());
    } catch (...) {
        if (buffer && capacity > 0) buffer[0] = L'\0';
        return 0;
    }
}

extern "C" void WINAPI SimFailNextCreations(UINT kinds, UINT count)
{
    sim::Network::Instance().FailNextCreations(kinds, count);
}

extern "C" HRESULT WINAPI SimFailBrowse(const wchar_t* branch, UINT afterEntries, HRESULT failure)
{
    if (!branch) return E_POINTER;
    return sim::Guarded([&] { return sim::Network::Instance().FailBrowse(branch, afterEntries, failure); });
}

extern "C" void WINAPI SimPauseClock()
{
    sim::Network::Instance().PauseClock();
}

extern "C" void WINAPI SimResumeClock()
{
    sim::Network::Instance().ResumeClock();
}

extern "C" void WINAPI SimStepClock(UINT ticks)
{
    try {
        sim::Network::Instance().StepClock(ticks);
    } catch (...) {
        // Out of memory for the reports: the clock has moved as far as it could.
    }
}

extern "C" ULONGLONG WINAPI SimGetClockTicks()
{
    return sim::Network::Instance().ClockTicks();
}

extern "C" HRESULT WINAPI SimUpdatePoint(const wchar_t* point, const SimPointUpdate* update)
{
    if (!point || !update) return E_POINTER;
    if (!(update->fields & (SIM_UPDATE_VALUE | SIM_UPDATE_STATUS))) return E_INVALIDARG;
    const bool refusing = (update->fields & SIM_UPDATE_REFUSING_TEXT) != 0;
    if (refusing && (!(update->fields & SIM_UPDATE_VALUE) || update->type != SIM_VALUE_TEXT)) return E_INVALIDARG;
    return sim::Guarded([&]() -> HRESULT {
        std::optional<sim::StoredValue> value;
        if (update->fields & SIM_UPDATE_VALUE) {
            switch (update->type) {
            case SIM_VALUE_NULL:
                value = sim::StoredValue::Null();
                break;
            case SIM_VALUE_BOOL:
                value = sim::StoredValue::Boolean(update->boolean != FALSE);
                break;
            case SIM_VALUE_DOUBLE:
                value = sim::StoredValue::Double(update->real);
                break;
            case SIM_VALUE_TEXT:
                value = sim::StoredValue::Text(update->text ? update->text : L"");
                value->refusesText = refusing;
                break;
            default:
                return E_INVALIDARG;
            }
        }
        std::optional<std::uint32_t> status;
        if (update->fields & SIM_UPDATE_STATUS) status = update->status;
        return sim::Network::Instance().UpdatePoint(point, value, status);
    });
}

extern "C" HRESULT WINAPI SimSendPointStatus(const wchar_t* point, UINT code)
{
    if (!point) return E_POINTER;
    return sim::Guarded([&] { return sim::Network::Instance().SendPointStatus(point, code); });
}

extern "C" HRESULT WINAPI SimFailReadCurrent(const wchar_t* point, HRESULT failure)
{
    if (!point) return E_POINTER;
    return sim::Guarded([&] { return sim::Network::Instance().FailReadCurrent(point, failure); });
}

extern "C" HRESULT WINAPI SimSendRawValue(const wchar_t* point, UINT type, ULONGLONG payload)
{
    if (!point) return E_POINTER;
    if (type & kelvane::vtObjectFlag) return E_INVALIDARG;
    return sim::Guarded([&] { return sim::Network::Instance().SendRawValue(point, type, payload); });
}

extern "C" LONG WINAPI SimLiveSubscriptions(const wchar_t* point)
{
    try {
        return sim::Network::Instance().LiveSubscriptions(point);
    } catch (...) {
        return 0;
    }
}

extern "C" BOOL WINAPI SimWaitForDeliveries(DWORD timeoutMs)
{
    return sim::Network::Instance().WaitForDeliveries(timeoutMs) ? TRUE : FALSE;
}

extern "C" HRESULT WINAPI SimStartBench(UINT points, UINT options)
{
    return sim::Guarded([&] { return sim::Network::Instance().StartBench(points, options); });
}

extern "C" void WINAPI SimStopBench()
{
    sim::Network::Instance().StopBench();
}

extern "C" void WINAPI SimGetDeliveryStats(SimDeliveryStats* stats)
{
    if (stats) *stats = sim::Network::Instance().DeliveryStats();
}
