#pragma once
// Runs a program as a child process with its standard output and error on pipes, for tests
// that check what a whole program prints.

#include <doctest.h>
#include <windows.h>

#include <string>
#include <thread>

namespace twopc::test {

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;  // CR LF turned into LF
    std::string err;
};

// The folder of this program, with its trailing backslash.
inline std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH];
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

inline ChildRun RunChild(std::wstring commandLine)
{
    const auto readAll = [](HANDLE pipe, std::string& into) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) into.append(buffer, read);
        for (auto at = into.find("\r\n"); at != std::string::npos; at = into.find("\r\n", at)) into.erase(at, 1);
    };
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    REQUIRE(CreatePipe(&outRead, &outWrite, &inherit, 0));
    REQUIRE(CreatePipe(&errRead, &errWrite, &inherit, 0));
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    REQUIRE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process));
    CloseHandle(outWrite);
    CloseHandle(errWrite);

    ChildRun run;
    std::thread errors([&] { readAll(errRead, run.err); });
    readAll(outRead, run.out);
    errors.join();
    CHECK(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    for (HANDLE handle : {process.hProcess, process.hThread, outRead, errRead}) CloseHandle(handle);
    return run;
}

}  // namespace twopc::test
