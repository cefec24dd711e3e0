#pragma once
// The link interfaces of the running process, as the rest of the server reaches them.
// The server's process-wide start-up publishes them and its shut-down withdraws them;
// users take a counted reference for the duration of their call, so a shut-down that
// happens meanwhile cannot pull the interface away under them.

#include "orv/com/ComPtr.h"
#include "twopc/link/KelvaneLink.h"

#include <string>

namespace twopc::link {

void PublishLink(orv::com::ComPtr<IKelvaneRealTime> realtime, orv::com::ComPtr<IKelvaneBrowser> browser);
void WithdrawLink();

// Null while the link is not running or could not be opened.
orv::com::ComPtr<IKelvaneRealTime> CurrentRealtime();
orv::com::ComPtr<IKelvaneBrowser> CurrentBrowser();

// The local computer's network name as the link knows it; empty when twsock is missing.
std::wstring HostMachineName();

// "\\.\rest" names the local computer: the link wants "\\host\rest".
std::wstring NetworkPathOf(const std::wstring& itemId);

}  // namespace twopc::link
