#pragma once
// The process-wide receiver handed to the browse link. Listings are pulled through the
// browse interface; nothing arrives through this receiver.

#include "twopc/link/KelvaneReceiver.h"

namespace twopc::link {

class OPCKelvaneBrowser final
    : public KelvaneReceiver<IKelvaneBrowserReceiver, IID_IKelvaneBrowserReceiver, IKelvaneBrowser> {
public:
    // IKelvaneBrowserReceiver
    IFACEMETHODIMP OnBrowse(void*, const void*) noexcept override { return 0; }
};

}  // namespace twopc::link
