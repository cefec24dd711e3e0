#pragma once
// The command line of opcq: global options, one command, the command's options and
// arguments. Parsing checks everything that can be checked without a server.

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace opcq {

inline constexpr wchar_t kDefaultServer[] = L"Orvane.TarnwellOPCServer";

struct HelpArgs {};

struct StatusArgs {};

struct BrowseArgs {
    bool flat = false;
    std::wstring filter;            // empty: every name
    VARTYPE dataType = VT_EMPTY;    // VT_EMPTY: any type
    DWORD accessRights = 0;         // 0: any rights
    std::optional<std::wstring> path;  // where to start; the root when absent
};

struct PropsArgs {
    std::wstring item;
};

struct ReadArgs {
    bool fromDevice = false;
    std::vector<std::wstring> items;
};

// ITEM=VALUE: the item ID runs to the first '='; the value is the rest, as typed.
struct Assignment {
    std::wstring item;
    std::wstring value;
};

struct WriteArgs {
    std::vector<Assignment> assignments;
    bool readBack = false;  // read the written items from the device afterwards
};

// ITEM=VALUE@SECONDS: a write that a watch performs that many seconds after it starts.
struct TimedWrite {
    Assignment assignment;
    double atSeconds = 0;
};

struct WatchArgs {
    std::vector<std::wstring> items;
    DWORD updateRateMs = 1000;
    std::optional<double> seconds;  // until interrupted when absent
    std::vector<TimedWrite> writes;  // in the order given
};

using CommandArgs = std::variant<HelpArgs, StatusArgs, BrowseArgs, PropsArgs, ReadArgs, WriteArgs, WatchArgs>;

// Where the server is created (--context inproc|local|remote HOST|any); without the
// option in process when the server offers it, else in a local server.
struct ServerContext {
    DWORD classContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
    std::wstring host;  // the remote computer, for CLSCTX_REMOTE_SERVER alone
};

struct Invocation {
    std::wstring server = kDefaultServer;  // a ProgID, or a CLSID in braces
    ServerContext context;
    bool json = false;
    CommandArgs command;
};

// Either an invocation or the reason the command line is not one.
struct ParsedCommandLine {
    std::optional<Invocation> invocation;
    std::wstring error;
};

// `arguments` excludes the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

std::optional<Assignment> ParseAssignment(std::wstring_view text);
std::optional<TimedWrite> ParseTimedWrite(std::wstring_view text);

std::wstring UsageText();

}  // namespace opcq
