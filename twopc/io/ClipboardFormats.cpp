#include "twopc/io/ClipboardFormats.h"

namespace twopc::io {

namespace {

// Registration only adds an atom to the window station's table: safe while the loader
// lock is held, unlike anything that waits for another thread.
const UINT g_formatDataWithTime = RegisterClipboardFormatA(kFormatDataWithTime);
const UINT g_formatData = RegisterClipboardFormatA(kFormatData);
const UINT g_formatWriteComplete = RegisterClipboardFormatA(kFormatWriteComplete);

}  // namespace

UINT ClipboardFormatOf(AdviseFormat format) noexcept
{
    switch (format) {
    case AdviseFormat::DataWithTime:
        return g_formatDataWithTime;
    case AdviseFormat::Data:
        return g_formatData;
    case AdviseFormat::WriteComplete:
        return g_formatWriteComplete;
    }
    return 0;
}

std::optional<AdviseFormat> AdviseFormatOf(CLIPFORMAT cfFormat) noexcept
{
    // Registered IDs lie in 0xC000..0xFFFF, so the 16-bit cfFormat holds them whole; a failed
    // registration (0) must not make cfFormat 0 look valid.
    const UINT id = cfFormat;
    if (id == 0) return std::nullopt;
    for (AdviseFormat format : {AdviseFormat::DataWithTime, AdviseFormat::Data, AdviseFormat::WriteComplete})
        if (ClipboardFormatOf(format) == id) return format;
    return std::nullopt;
}

}  // namespace twopc::io
