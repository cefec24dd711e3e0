#pragma once

#include <windows.h>

namespace twopc::module {

// Writes the class, its ProgIDs and its OPC categories; the first failure is returned.
HRESULT RegisterServer() noexcept;
// Removes them again; best effort, so the result is always S_OK.
HRESULT UnregisterServer() noexcept;

}  // namespace twopc::module
