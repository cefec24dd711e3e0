/* The generated proxies and stubs of the OPC interfaces, and the library's class object.

   The IUnknown part of every proxy is rpcrt4's; MinGW's headers declare those three
   functions for C++ only, so they are declared here before the generated code uses them. */
#include <objbase.h>

#ifdef __MINGW32__
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif

/* Our own class ID for the proxy/stub factory, so that it never replaces another
   vendor's factory for the same interfaces: {6BFF714C-EAB1-49C5-A9B1-91065EBA8037} */
#define PROXY_CLSID_IS {0x6bff714c, 0xeab1, 0x49c5, {0xa9, 0xb1, 0x91, 0x06, 0x5e, 0xba, 0x80, 0x37}}

#include "ProxyInterfaces.h"
#include "opcda_p.c"

PROXYFILE_LIST_START
REFERENCE_PROXY_FILE(opcda),
PROXYFILE_LIST_END

/* DllGetClassObject, DllCanUnloadNow and GetProxyDllInfo; registration is our own
   (ProxyRegistration.cpp). */
DLLDATA_ROUTINES(aProxyFileList, GET_DLL_CLSID)

unsigned ProxyInterfaceCount(void)
{
    return opcda_ProxyFileInfo.TableSize;
}

const IID* ProxyInterfaceId(unsigned index)
{
    return opcda_ProxyFileInfo.pStubVtblList[index]->header.piid;
}

const char* ProxyInterfaceName(unsigned index)
{
    return opcda_ProxyFileInfo.pNamesArray[index];
}

unsigned long ProxyInterfaceMethods(unsigned index)
{
    return opcda_ProxyFileInfo.pStubVtblList[index]->header.DispatchTableCount;
}
