// The OEM object and the host name: how a client introduces itself to the network and
// learns the name under which the local computer appears in item IDs.

#include "ComObject.h"
#include "Network.h"

namespace sim {
namespace {

// Each GetIKelvaneOEM call makes a new one; they all record into the one network.
class OemObject final : public ComObject<OemObject, kelvane::IKelvaneOEM> {
public:
    OemObject() { Network::Instance().Count(&SimCounters::liveOemObjects, +1); }
    ~OemObject() override { Network::Instance().Count(&SimCounters::liveOemObjects, -1); }

    // IKelvaneOEM
    HRESULT STDMETHODCALLTYPE SetClientKind(const wchar_t* kind) override
    {
        if (!kind) return E_POINTER;
        return Guarded([&] {
            Network::Instance().RecordClientKind(kind);
            return S_OK;
        });
    }
};

}  // namespace
}  // namespace sim

extern "C" kelvane::IKelvaneOEM* WINAPI GetIKelvaneOEM()
{
    try {
        return sim::OemObject::Make().Detach();
    } catch (...) {
        return nullptr;
    }
}

extern "C" HRESULT WINAPI GetHostMachineName(BSTR* hostName)
{
    if (!hostName) return E_POINTER;
    *hostName = nullptr;
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = ARRAYSIZE(name);
    if (!GetComputerNameW(name, &length)) return HRESULT_FROM_WIN32(GetLastError());
    *hostName = SysAllocStringLen(name, length);
    return *hostName ? S_OK : E_OUTOFMEMORY;
}
