#include "twopc/link/OPCKelvaneClient.h"

namespace twopc::link {

// No item records exist yet that could be subscribed, so no callback can carry a cookie
// that names one; arrivals are accepted and dropped.

HRESULT OPCKelvaneClient::OnValue(void*, std::uint32_t, const KelvaneValue*, std::uint32_t, std::uint64_t)
{
    return S_OK;
}

HRESULT OPCKelvaneClient::OnPointInfo(void*, const KelvanePointInfo*)
{
    return S_OK;
}

HRESULT OPCKelvaneClient::OnPointStatus(void*, std::uint32_t)
{
    return S_OK;
}

}  // namespace twopc::link
