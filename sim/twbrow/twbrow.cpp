// The browse link's entry point. The network and its browse interfaces live in twsock.

#include "NetworkBridge.h"

extern "C" unsigned char WINAPI NewKelvaneBrowser(void* reserved, kelvane::IKelvaneBrowserReceiver* receiver,
                                                  kelvane::IKelvaneBrowser** browser)
{
    return SimNetOpenBrowser(reserved, receiver, browser);
}
