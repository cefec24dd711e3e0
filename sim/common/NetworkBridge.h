#pragma once
// Internal to the link libraries: the network lives in twsock, and the creation exports of
// twrealt and twbrow hand over to these twsock exports (same signatures and contract).

#include <sim/kelvane.h>

extern "C" {
unsigned char WINAPI SimNetOpenRealTime(void* reserved, kelvane::IKelvaneRealTimeReceiver* receiver,
                                        kelvane::IKelvaneRealTime** realtime);
unsigned char WINAPI SimNetOpenBrowser(void* reserved, kelvane::IKelvaneBrowserReceiver* receiver,
                                       kelvane::IKelvaneBrowser** browser);
}
