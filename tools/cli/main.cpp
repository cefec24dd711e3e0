// twopc-cli: talks to the Tarnwell OPC server the way any OPC DA client does.
//
//   twopc-cli status            create the server from its ProgID and print its status

#include "cli/Commands.h"

#include <cstdio>
#include <cwchar>

namespace {

void PrintUsage()
{
    std::fputws(L"usage: twopc-cli status\n", stderr);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        PrintUsage();
        return 2;
    }
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) {
        twopc::cli::ReportFailure(L"CoInitializeEx", init);
        return 1;
    }
    twopc::cli::Options options;
    int result = 2;
    if (std::wcscmp(argv[1], L"status") == 0)
        result = twopc::cli::ShowStatus(options);
    else
        PrintUsage();
    CoUninitialize();
    return result;
}
