#pragma once
// Identity of the one creatable class, as registered.

#include <windows.h>

namespace twopc::module {

// {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}
inline constexpr CLSID CLSID_TarnwellOPCServer = {
    0x7E15A0C2, 0x4B91, 0x4D3E, {0x9F, 0x62, 0x0C, 0x8A, 0x5D, 0x21, 0xB7, 0xE4}};

inline constexpr wchar_t kClsidText[] = L"{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}";
inline constexpr wchar_t kProgId[] = L"Orvane.TarnwellOPCServer";
inline constexpr wchar_t kVersionedProgId[] = L"Orvane.TarnwellOPCServer.1";
inline constexpr wchar_t kDescription[] = L"OPC Server Interface to Tarnwell";
inline constexpr wchar_t kVendor[] = L"Orvane, Inc.";
inline constexpr wchar_t kThreadingModel[] = L"Free";

}  // namespace twopc::module
