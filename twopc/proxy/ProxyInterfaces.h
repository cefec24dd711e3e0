#pragma once
/* The interfaces the proxy/stub library marshals, as its registration needs them. */
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const CLSID CLSID_PSFactoryBuffer;
unsigned ProxyInterfaceCount(void);
const IID* ProxyInterfaceId(unsigned index);
const char* ProxyInterfaceName(unsigned index);
unsigned long ProxyInterfaceMethods(unsigned index);

#ifdef __cplusplus
}
#endif
