#pragma once
// The machinery that exists once per process and is shared by every server instance:
// the OEM object and the two receivers with their link interfaces. The first instance
// to finish construction starts it, the last one to be released stops it; both happen
// under the start-up lock, so a second creation waits for the first one's start-up.

#include "twopc/link/OPCKelvaneBrowser.h"
#include "twopc/link/OPCKelvaneClient.h"

namespace twopc::server {

class ServerProcess {
public:
    // Counts one more instance; the first one starts the link.
    static void AddInstance();
    // Counts one instance less; the last one stops the link.
    static void RemoveInstance();

    static unsigned InstanceCount();

    // The receivers, or null while no instance is running. Their link interface may be
    // null too: the server then runs without that link.
    static link::OPCKelvaneClient* RealtimeClient();
    static link::OPCKelvaneBrowser* BrowseClient();
};

}  // namespace twopc::server
