/* Definitions of the OPC DA component category IDs declared in opcda.h. They are defined
   here rather than in the IDL because they are neither interface nor class IDs.
   Values from the published OPC DA definitions. */
#include <windows.h>
#include <initguid.h>

/* {63D5F430-CFE4-11D1-B2C8-0060083BA1FB} "OPC Data Access Servers Version 1.0" */
DEFINE_GUID(CATID_OPCDAServer10, 0x63d5f430, 0xcfe4, 0x11d1, 0xb2, 0xc8, 0x00, 0x60, 0x08, 0x3b, 0xa1, 0xfb);
/* {63D5F432-CFE4-11D1-B2C8-0060083BA1FB} "OPC Data Access Servers Version 2.0" */
DEFINE_GUID(CATID_OPCDAServer20, 0x63d5f432, 0xcfe4, 0x11d1, 0xb2, 0xc8, 0x00, 0x60, 0x08, 0x3b, 0xa1, 0xfb);
