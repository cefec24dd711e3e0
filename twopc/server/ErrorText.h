#pragma once
// Text of an error code: the library's own message table first (the OPC codes), then
// the system's.

#include <windows.h>

namespace twopc::server {

// *ppString receives a task-allocator string or stays null; E_FAIL when no text exists.
HRESULT LookUpErrorText(HRESULT code, LCID locale, LPWSTR* ppString) noexcept;

}  // namespace twopc::server
