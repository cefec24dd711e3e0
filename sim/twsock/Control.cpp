// The test control API of the simulated network.

#include "Network.h"

#include <algorithm>

extern "C" void WINAPI SimReset()
{
    sim::Network::Instance().Reset();
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
