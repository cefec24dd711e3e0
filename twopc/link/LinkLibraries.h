#pragma once
// Run-time binding to the realtime link libraries. Each library is looked for beside
// twopc.dll first, then on the normal search path, so that the maker's libraries can be
// dropped in beside the server. A library or export that cannot be found leaves its entry
// null: the server then runs without that part of the link.

#include "twopc/link/KelvaneLink.h"

namespace twopc::link {

struct LinkExports {
    NewKelvaneRealTimeFn newKelvaneRealTime = nullptr;  // twrealt
    NewKelvaneBrowserFn newKelvaneBrowser = nullptr;    // twbrow
    GetIKelvaneOEMFn getIKelvaneOEM = nullptr;          // twsock
    GetHostMachineNameFn getHostMachineName = nullptr;  // twsock
    NewUnicodeGutsFn newUnicodeGuts = nullptr;          // twdynam
};

// Loads the libraries on first use. They stay loaded for the life of the process: the
// link may still be running code of theirs on its own threads after the server let go.
const LinkExports& Link();

}  // namespace twopc::link
