#pragma once
// The local server host: serves the class of twopc.dll to clients in other processes
// (and, through DCOM, on other machines), one process and one plant for all of them.

#include <windows.h>

namespace twopc::host {

// Adds the class's LocalServer32 (this executable) and its AppID.
HRESULT RegisterLocalServer() noexcept;
// Removes exactly what RegisterLocalServer adds.
HRESULT UnregisterLocalServer() noexcept;

// Loads twopc.dll from this executable's folder, registers its class object for multiple
// use in the multithreaded apartment and serves until every client that may still let go
// has let go (a client found gone through its failing callbacks no longer counts), or
// until the local server is unregistered.
HRESULT ServeEmbedded() noexcept;

}  // namespace twopc::host
