// opcq: a console client for OPC DA 2.0 servers. `opcq --help` lists the commands.

#include "Commands.h"
#include "Json.h"
#include "Values.h"

#include <new>
#include <variant>

namespace {

using namespace opcq;

// The calling thread in the multithreaded apartment, for as long as this object lives.
class MultithreadedApartment {
public:
    MultithreadedApartment() : m_result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    MultithreadedApartment(const MultithreadedApartment&) = delete;
    MultithreadedApartment& operator=(const MultithreadedApartment&) = delete;
    ~MultithreadedApartment()
    {
        if (SUCCEEDED(m_result)) CoUninitialize();
    }
    HRESULT Result() const { return m_result; }

private:
    HRESULT m_result;
};

void ReportFailure(const OpcFailure& failure, bool json)
{
    StandardError().Line(L"opcq: " + failure.Message());
    if (!json) return;
    JsonWriter document;
    document.BeginObject().Key(L"error").BeginObject();
    document.Key(L"what").String(failure.What());
    document.Key(L"hresult").String(HResultHex(failure.Code()));
    document.Key(L"text").String(failure.CodeText());
    document.EndObject().EndObject();
    StandardOutput().Line(document.Text());
}

int Run(const Invocation& invocation)
{
    const CommandOutput output{StandardOutput(), invocation.json};
    try {
        const OpcServer server = OpcServer::Connect(invocation.server, invocation.context);
        return std::visit(
            [&](const auto& args) -> int {
                using Args = std::decay_t<decltype(args)>;
                if constexpr (std::is_same_v<Args, StatusArgs>) return RunStatus(server, args, output);
                if constexpr (std::is_same_v<Args, BrowseArgs>) return RunBrowse(server, args, output);
                if constexpr (std::is_same_v<Args, PropsArgs>) return RunProps(server, args, output);
                if constexpr (std::is_same_v<Args, ReadArgs>) return RunRead(server, args, output);
                if constexpr (std::is_same_v<Args, WriteArgs>) return RunWrite(server, args, output);
                if constexpr (std::is_same_v<Args, WatchArgs>) return RunWatch(server, args, output);
                return kExitUsage;  // help is answered before any server is created
            },
            invocation.command);
    } catch (const OpcFailure& failure) {
        ReportFailure(failure, invocation.json);
    } catch (const std::bad_alloc&) {
        ReportFailure(OpcFailure(L"opcq", E_OUTOFMEMORY, SystemErrorText(E_OUTOFMEMORY)), invocation.json);
    }
    return kExitFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!parsed.invocation) {
        StandardError().Line(L"opcq: " + parsed.error);
        StandardError().Line(L"Try 'opcq --help'.");
        return kExitUsage;
    }
    if (std::holds_alternative<HelpArgs>(parsed.invocation->command)) {
        StandardOutput().Write(UsageText());
        return kExitOk;
    }
    MultithreadedApartment apartment;
    if (FAILED(apartment.Result())) {
        ReportFailure(OpcFailure(L"CoInitializeEx", apartment.Result(), SystemErrorText(apartment.Result())),
                      parsed.invocation->json);
        return kExitFailed;
    }
    return Run(*parsed.invocation);
}
