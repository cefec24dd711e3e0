#include "cli/Commands.h"

#include <opcda.h>

#include <cstdio>

namespace twopc::cli {
namespace {

template <class T>
struct Released {
    T* p = nullptr;
    ~Released()
    {
        if (p) p->Release();
    }
};

std::wstring FormatTime(const FILETIME& utc)
{
    if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0) return L"(never)";
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&utc, &time)) return L"(invalid)";
    wchar_t text[64];
    std::swprintf(text, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u UTC", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

const wchar_t* StateName(DWORD state)
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

HRESULT CreateServer(const Options& options, IOPCServer** server)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(options.progId.c_str(), &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(server));
}

}  // namespace

void ReportFailure(const wchar_t* what, HRESULT hr)
{
    std::fwprintf(stderr, L"%ls failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
}

int ShowStatus(const Options& options)
{
    Released<IOPCServer> server;
    HRESULT hr = CreateServer(options, &server.p);
    if (FAILED(hr)) {
        ReportFailure(L"Creating the server", hr);
        return 1;
    }
    OPCSERVERSTATUS* status = nullptr;
    hr = server.p->GetStatus(&status);
    if (FAILED(hr)) {
        ReportFailure(L"GetStatus", hr);
        return 1;
    }
    std::wprintf(L"Server:        %ls\n", options.progId.c_str());
    std::wprintf(L"Vendor:        %ls\n", status->szVendorInfo ? status->szVendorInfo : L"");
    std::wprintf(L"Version:       %u.%u.%u\n", status->wMajorVersion, status->wMinorVersion, status->wBuildNumber);
    std::wprintf(L"State:         %ls\n", StateName(status->dwServerState));
    std::wprintf(L"Started:       %ls\n", FormatTime(status->ftStartTime).c_str());
    std::wprintf(L"Current time:  %ls\n", FormatTime(status->ftCurrentTime).c_str());
    std::wprintf(L"Last update:   %ls\n", FormatTime(status->ftLastUpdateTime).c_str());
    std::wprintf(L"Groups:        %lu\n", static_cast<unsigned long>(status->dwGroupCount));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return 0;
}

}  // namespace twopc::cli
