// The realtime link's entry point. The network and its realtime interfaces live in twsock.

#include "NetworkBridge.h"

extern "C" unsigned char WINAPI NewKelvaneRealTime(void* reserved, kelvane::IKelvaneRealTimeReceiver* receiver,
                                                   kelvane::IKelvaneRealTime** realtime)
{
    return SimNetOpenRealTime(reserved, receiver, realtime);
}
