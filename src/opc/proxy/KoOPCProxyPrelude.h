/* Force-included into every C file of the KoOPCProxy DLL.
 *
 * The proxy code widl generates calls the IUnknown_*_Proxy helpers of rpcrt4, but MinGW's
 * unknwn.h declares them for C++ only. Give the C translation units their prototypes. */
#ifndef KO_OPC_PROXY_PRELUDE_H
#define KO_OPC_PROXY_PRELUDE_H

#include <objbase.h>

#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif

#endif /* KO_OPC_PROXY_PRELUDE_H */
