// IOPCItemProperties of COPCServer: placeholder until the property table exists.

#include "twopc/server/OPCServer.h"

namespace twopc::server {

HRESULT COPCServer::QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) { return E_NOTIMPL; }
HRESULT COPCServer::GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**, HRESULT**) { return E_NOTIMPL; }
HRESULT COPCServer::LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR**, HRESULT**) { return E_NOTIMPL; }

}  // namespace twopc::server
