#pragma once
// Commands of the command-line client. Each returns the process exit code.

#include <objbase.h>

#include <string>
#include <vector>

namespace twopc::cli {

struct Options {
    std::wstring progId = L"Orvane.TarnwellOPCServer";
};

int ShowStatus(const Options& options);

// Prints a failed call with the server's text for the code, when it has one.
void ReportFailure(const wchar_t* what, HRESULT hr);

}  // namespace twopc::cli
