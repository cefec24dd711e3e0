// status: what IOPCServer::GetStatus says about the server.

#include "Commands.h"
#include "Json.h"
#include "Values.h"

#include <cstdio>

namespace opcq {
namespace {

const wchar_t* StateName(OPCSERVERSTATE state)
{
    switch (state) {
    case OPC_STATUS_RUNNING: return L"running";
    case OPC_STATUS_FAILED: return L"failed";
    case OPC_STATUS_NOCONFIG: return L"no configuration";
    case OPC_STATUS_SUSPENDED: return L"suspended";
    case OPC_STATUS_TEST: return L"test";
    default: return L"unknown";
    }
}

// The status record and its vendor string, both from the task allocator.
struct ServerStatus {
    OPCSERVERSTATUS* record = nullptr;
    ServerStatus() = default;
    ServerStatus(const ServerStatus&) = delete;
    ServerStatus& operator=(const ServerStatus&) = delete;
    ~ServerStatus()
    {
        if (record) CoTaskMemFree(record->szVendorInfo);
        CoTaskMemFree(record);
    }
};

constexpr DWORD kBandwidthUnknown = 0xFFFFFFFF;

std::wstring OrNever(const std::wstring& time)
{
    return time.empty() ? L"never" : time;
}

}  // namespace

int RunStatus(const OpcServer& server, const StatusArgs&, const CommandOutput& output)
{
    ServerStatus status;
    server.Check(server.Server()->GetStatus(&status.record), L"GetStatus");
    const OPCSERVERSTATUS& record = *status.record;
    const std::wstring vendor = record.szVendorInfo ? record.szVendorInfo : L"";
    const std::wstring version = std::to_wstring(record.wMajorVersion) + L"." + std::to_wstring(record.wMinorVersion) +
                                 L"." + std::to_wstring(record.wBuildNumber);

    if (output.json) {
        JsonWriter json;
        json.BeginObject();
        json.Key(L"server").String(server.Name());
        json.Key(L"clsid").String(ClsidText(server.Clsid()));
        json.Key(L"vendor").String(vendor);
        json.Key(L"version").String(version);
        json.Key(L"state").String(StateName(record.dwServerState));
        json.Key(L"startTime").StringOrNull(FormatUtcTimestamp(record.ftStartTime));
        json.Key(L"currentTime").StringOrNull(FormatUtcTimestamp(record.ftCurrentTime));
        json.Key(L"lastUpdateTime").StringOrNull(FormatUtcTimestamp(record.ftLastUpdateTime));
        json.Key(L"groupCount").Unsigned(record.dwGroupCount);
        json.Key(L"bandwidth");
        if (record.dwBandWidth == kBandwidthUnknown)
            json.Null();
        else
            json.Unsigned(record.dwBandWidth);
        json.EndObject();
        output.out.Line(json.Text());
        return kExitOk;
    }

    output.out.Line(L"Server:       " + server.Name() + L" " + ClsidText(server.Clsid()));
    output.out.Line(L"Vendor:       " + vendor);
    output.out.Line(L"Version:      " + version);
    output.out.Line(L"State:        " + std::wstring(StateName(record.dwServerState)));
    output.out.Line(L"Started:      " + OrNever(FormatUtcTimestamp(record.ftStartTime)));
    output.out.Line(L"Current time: " + OrNever(FormatUtcTimestamp(record.ftCurrentTime)));
    output.out.Line(L"Last update:  " + OrNever(FormatUtcTimestamp(record.ftLastUpdateTime)));
    output.out.Line(L"Groups:       " + std::to_wstring(record.dwGroupCount));
    output.out.Line(L"Bandwidth:    " + (record.dwBandWidth == kBandwidthUnknown
                                             ? std::wstring(L"unknown")
                                             : std::to_wstring(record.dwBandWidth) + L" %"));
    return kExitOk;
}

}  // namespace opcq
