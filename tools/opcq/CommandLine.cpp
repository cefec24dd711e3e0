#include "CommandLine.h"

#include "Values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace opcq {
namespace {

enum class Takes { Nothing, Value };

struct OptionRule {
    const wchar_t* name;
    Takes takes;
    bool repeatable;
    const wchar_t* command;  // the one command it applies to; null: global
};

constexpr OptionRule kOptions[] = {
    {L"server", Takes::Value, false, nullptr},  {L"json", Takes::Nothing, false, nullptr},
    {L"context", Takes::Value, false, nullptr},
    {L"help", Takes::Nothing, false, nullptr},  {L"flat", Takes::Nothing, false, L"browse"},
    {L"filter", Takes::Value, false, L"browse"}, {L"type", Takes::Value, false, L"browse"},
    {L"rights", Takes::Value, false, L"browse"}, {L"device", Takes::Nothing, false, L"read"},
    {L"read-back", Takes::Nothing, false, L"write"},
    {L"rate", Takes::Value, false, L"watch"},    {L"seconds", Takes::Value, false, L"watch"},
    {L"write", Takes::Value, true, L"watch"},
};

struct GivenOption {
    const OptionRule* rule;
    std::wstring value;
};

const OptionRule* FindOption(std::wstring_view name)
{
    for (const OptionRule& rule : kOptions)
        if (name == rule.name) return &rule;
    return nullptr;
}

std::wstring Quoted(std::wstring_view text)
{
    return L"'" + std::wstring(text) + L"'";
}

std::optional<double> ParseNumber(std::wstring_view text)
{
    std::string narrow;
    for (wchar_t c : text) {
        if (c > 0x7F) return std::nullopt;
        narrow += static_cast<char>(c);
    }
    double number = 0;
    auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), number);
    if (error != std::errc() || end != narrow.data() + narrow.size() || !std::isfinite(number)) return std::nullopt;
    return number;
}

std::optional<DWORD> ParseMilliseconds(std::wstring_view text)
{
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > 0xFFFFFFFFULL) return std::nullopt;
    return static_cast<DWORD>(number);
}

// Collected from the whole command line before the command is known, so that options
// may stand before or after it.
struct Collected {
    std::vector<GivenOption> options;
    std::vector<std::wstring> positionals;
};

std::optional<std::wstring> Collect(const std::vector<std::wstring>& arguments, Collected& collected)
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
            collected.positionals.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        if (argument == L"-h") {
            collected.options.push_back({FindOption(L"help"), L""});
            continue;
        }
        if (argument[1] != L'-') return L"unknown option " + Quoted(argument);
        std::wstring_view body = std::wstring_view(argument).substr(2);
        std::optional<std::wstring> inlineValue;
        if (auto equals = body.find(L'='); equals != std::wstring_view::npos) {
            inlineValue = std::wstring(body.substr(equals + 1));
            body = body.substr(0, equals);
        }
        const OptionRule* rule = FindOption(body);
        if (!rule) return L"unknown option " + Quoted(L"--" + std::wstring(body));
        if (rule->takes == Takes::Nothing) {
            if (inlineValue) return L"option --" + std::wstring(rule->name) + L" takes no value";
            collected.options.push_back({rule, L""});
            continue;
        }
        if (inlineValue) {
            collected.options.push_back({rule, *inlineValue});
        } else if (i + 1 < arguments.size()) {
            collected.options.push_back({rule, arguments[++i]});
        } else {
            return L"option --" + std::wstring(rule->name) + L" needs a value";
        }
        // "--context remote HOST": the computer is the next argument.
        if (collected.options.back().value == L"remote" && rule->name == std::wstring_view(L"context")) {
            if (i + 1 >= arguments.size()) return std::wstring(L"--context remote needs a computer name");
            collected.options.back().value += L" " + arguments[++i];
        }
    }
    return std::nullopt;
}

bool HasOption(const std::vector<GivenOption>& options, std::wstring_view name)
{
    return std::any_of(options.begin(), options.end(),
                       [&](const GivenOption& given) { return given.rule->name == name; });
}

std::optional<std::wstring> CheckItems(const std::vector<std::wstring>& items, const wchar_t* command)
{
    if (items.empty()) return std::wstring(command) + L" needs at least one item ID";
    for (const std::wstring& item : items)
        if (item.empty()) return std::wstring(L"an item ID cannot be empty");
    return std::nullopt;
}

std::vector<std::wstring> ValuesOf(const std::vector<GivenOption>& options, std::wstring_view name)
{
    std::vector<std::wstring> values;
    for (const GivenOption& given : options)
        if (given.rule->name == name) values.push_back(given.value);
    return values;
}

// Each fills its command's fields from the arguments after the command name and the
// options, or says what is wrong with them.
using Arguments = std::vector<std::wstring>;
using Options = std::vector<GivenOption>;
using Problem = std::optional<std::wstring>;

Problem BuildStatus(const Arguments& arguments, const Options&, CommandArgs& command)
{
    if (!arguments.empty()) return L"status takes no arguments";
    command = StatusArgs{};
    return std::nullopt;
}

Problem BuildBrowse(const Arguments& arguments, const Options& options, CommandArgs& command)
{
    BrowseArgs browse;
    if (arguments.size() > 1) return L"browse takes at most one path";
    if (arguments.size() == 1) browse.path = arguments[0];
    browse.flat = HasOption(options, L"flat");
    for (const std::wstring& value : ValuesOf(options, L"filter")) browse.filter = value;
    for (const std::wstring& value : ValuesOf(options, L"type")) {
        std::optional<VARTYPE> type = ParseVarTypeName(value);
        if (!type) return L"unknown data type " + Quoted(value) + L" (use a name such as R8, BSTR, BOOL or I4)";
        browse.dataType = *type;
    }
    for (const std::wstring& value : ValuesOf(options, L"rights")) {
        std::optional<DWORD> rights = ParseAccessRights(value);
        if (!rights) return L"access rights must be r, w or rw, not " + Quoted(value);
        browse.accessRights = *rights;
    }
    command = std::move(browse);
    return std::nullopt;
}

Problem BuildProps(const Arguments& arguments, const Options&, CommandArgs& command)
{
    if (arguments.size() != 1) return L"props needs exactly one item ID";
    if (arguments[0].empty()) return L"an item ID cannot be empty";
    command = PropsArgs{arguments[0]};
    return std::nullopt;
}

Problem BuildRead(const Arguments& arguments, const Options& options, CommandArgs& command)
{
    if (auto problem = CheckItems(arguments, L"read")) return problem;
    command = ReadArgs{HasOption(options, L"device"), arguments};
    return std::nullopt;
}

Problem BuildWrite(const Arguments& arguments, const Options& options, CommandArgs& command)
{
    WriteArgs write;
    if (arguments.empty()) return L"write needs at least one ITEM=VALUE";
    for (const std::wstring& argument : arguments) {
        std::optional<Assignment> assignment = ParseAssignment(argument);
        if (!assignment) return Quoted(argument) + L" is not ITEM=VALUE";
        write.assignments.push_back(std::move(*assignment));
    }
    write.readBack = HasOption(options, L"read-back");
    command = std::move(write);
    return std::nullopt;
}

Problem BuildWatch(const Arguments& arguments, const Options& options, CommandArgs& command)
{
    WatchArgs watch;
    if (auto problem = CheckItems(arguments, L"watch")) return problem;
    watch.items = arguments;
    for (const std::wstring& value : ValuesOf(options, L"rate")) {
        std::optional<DWORD> rate = ParseMilliseconds(value);
        if (!rate) return L"--rate needs a whole number of milliseconds, not " + Quoted(value);
        watch.updateRateMs = *rate;
    }
    for (const std::wstring& value : ValuesOf(options, L"seconds")) {
        std::optional<double> seconds = ParseNumber(value);
        if (!seconds || *seconds <= 0) return L"--seconds needs a number of seconds above 0, not " + Quoted(value);
        watch.seconds = *seconds;
    }
    for (const std::wstring& value : ValuesOf(options, L"write")) {
        std::optional<TimedWrite> write = ParseTimedWrite(value);
        if (!write) return L"--write needs ITEM=VALUE@SECONDS, not " + Quoted(value);
        if (watch.seconds && write->atSeconds >= *watch.seconds)
            return L"the write of " + write->assignment.item + L" at " + FormatNumber(write->atSeconds) +
                   L" s would come after the watch ends at " + FormatNumber(*watch.seconds) + L" s";
        watch.writes.push_back(std::move(*write));
    }
    command = std::move(watch);
    return std::nullopt;
}

std::optional<ServerContext> ParseContext(std::wstring_view text)
{
    ServerContext context;
    if (text == L"inproc") {
        context.classContext = CLSCTX_INPROC_SERVER;
    } else if (text == L"local") {
        context.classContext = CLSCTX_LOCAL_SERVER;
    } else if (text == L"any") {
        context.classContext = CLSCTX_ALL;
    } else if (text.starts_with(L"remote ") && text.size() > 7) {
        context.classContext = CLSCTX_REMOTE_SERVER;
        context.host = text.substr(7);
    } else {
        return std::nullopt;
    }
    return context;
}

struct CommandRule {
    const wchar_t* name;
    Problem (*build)(const Arguments&, const Options&, CommandArgs&);
};

constexpr CommandRule kCommands[] = {
    {L"status", BuildStatus}, {L"browse", BuildBrowse}, {L"props", BuildProps},
    {L"read", BuildRead},     {L"write", BuildWrite},   {L"watch", BuildWatch},
};

}  // namespace

std::optional<Assignment> ParseAssignment(std::wstring_view text)
{
    const std::size_t equals = text.find(L'=');
    if (equals == std::wstring_view::npos || equals == 0) return std::nullopt;
    return Assignment{std::wstring(text.substr(0, equals)), std::wstring(text.substr(equals + 1))};
}

std::optional<TimedWrite> ParseTimedWrite(std::wstring_view text)
{
    const std::size_t at = text.rfind(L'@');
    if (at == std::wstring_view::npos) return std::nullopt;
    std::optional<Assignment> assignment = ParseAssignment(text.substr(0, at));
    std::optional<double> seconds = ParseNumber(text.substr(at + 1));
    if (!assignment || !seconds || *seconds < 0) return std::nullopt;
    return TimedWrite{std::move(*assignment), *seconds};
}

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments)
{
    ParsedCommandLine parsed;
    Collected collected;
    if (auto error = Collect(arguments, collected)) {
        parsed.error = *error;
        return parsed;
    }

    Invocation invocation;
    std::map<std::wstring_view, int> seen;
    bool help = false;
    for (const GivenOption& given : collected.options) {
        const std::wstring_view name = given.rule->name;
        if (++seen[name] > 1 && !given.rule->repeatable) {
            parsed.error = L"option --" + std::wstring(name) + L" is given more than once";
            return parsed;
        }
        if (name == L"server") {
            if (given.value.empty()) {
                parsed.error = L"--server needs a ProgID or a CLSID";
                return parsed;
            }
            invocation.server = given.value;
        }
        if (name == L"context") {
            std::optional<ServerContext> context = ParseContext(given.value);
            if (!context) {
                parsed.error = L"--context must be inproc, local, remote HOST or any, not " + Quoted(given.value);
                return parsed;
            }
            invocation.context = std::move(*context);
        }
        if (name == L"json") invocation.json = true;
        if (name == L"help") help = true;
    }

    if (help || (!collected.positionals.empty() && collected.positionals[0] == L"help")) {
        invocation.command = HelpArgs{};
        parsed.invocation = std::move(invocation);
        return parsed;
    }
    if (collected.positionals.empty()) {
        parsed.error = L"no command given";
        return parsed;
    }

    const std::wstring& name = collected.positionals[0];
    const CommandRule* rule = nullptr;
    for (const CommandRule& candidate : kCommands)
        if (name == candidate.name) rule = &candidate;
    if (!rule) {
        parsed.error = L"unknown command " + Quoted(name);
        return parsed;
    }
    for (const GivenOption& given : collected.options) {
        if (given.rule->command && name != given.rule->command) {
            parsed.error = L"option --" + std::wstring(given.rule->name) + L" does not apply to " + name;
            return parsed;
        }
    }
    const Arguments commandArguments(collected.positionals.begin() + 1, collected.positionals.end());
    if (auto problem = rule->build(commandArguments, collected.options, invocation.command)) {
        parsed.error = *problem;
        return parsed;
    }
    parsed.invocation = std::move(invocation);
    return parsed;
}

std::wstring UsageText()
{
    return LR"(usage: opcq [--server PROGID|{CLSID}] [--json] COMMAND [ARGUMENTS]

commands:
  status                     the server's state, version, start time and group count
  browse [--flat] [--filter PATTERN] [--type VT] [--rights r|w|rw] [PATH]
                             the address space below PATH as a tree; --flat lists the
                             full item IDs of every leaf below it
  props ITEM                 the properties of one item, with their current values
  read [--device] ITEM...    value, quality and timestamp of items, from the server's
                             cache or, with --device, from the device
  write [--read-back] ITEM=VALUE...
                             write values, converted to each item's canonical type;
                             --read-back then reads the written items from the device
  watch ITEM... [--rate MS] [--seconds N] [--write ITEM=VALUE@SECONDS]...
                             print every change of the items until N seconds have
                             passed (or Ctrl+C), with a trend of the numeric ones;
                             each --write is performed SECONDS after the start

options:
  --server S   the OPC DA server, by ProgID or CLSID (default Orvane.TarnwellOPCServer)
  --context C  where the server runs: inproc (in this process), local (in the
               server's own process, shared by every client), remote HOST (on
               another computer, through DCOM) or any; without it in process if
               the server allows, else local
  --json       machine-readable output: one JSON document, or for watch one JSON
               object per line
  --help       this text

exit status: 0 success, 1 an operation or an item failed, 2 usage error
)";
}

}  // namespace opcq
