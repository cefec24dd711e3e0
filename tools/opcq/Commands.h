#pragma once
// The commands of opcq, one source file each. A command prints its results to `out`,
// as text or as JSON, and returns the exit code; a failure of the whole operation is
// thrown as OpcFailure and reported by the caller.

#include "CommandLine.h"
#include "Output.h"
#include "Session.h"

namespace opcq {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an operation or at least one item failed
inline constexpr int kExitUsage = 2;

struct CommandOutput {
    OutputStream& out;
    bool json;
};

int RunStatus(const OpcServer& server, const StatusArgs& args, const CommandOutput& output);
int RunBrowse(const OpcServer& server, const BrowseArgs& args, const CommandOutput& output);
int RunProps(const OpcServer& server, const PropsArgs& args, const CommandOutput& output);
int RunRead(const OpcServer& server, const ReadArgs& args, const CommandOutput& output);
int RunWrite(const OpcServer& server, const WriteArgs& args, const CommandOutput& output);
int RunWatch(const OpcServer& server, const WatchArgs& args, const CommandOutput& output);

}  // namespace opcq
