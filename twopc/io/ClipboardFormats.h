#pragma once
// The clipboard formats of the three OPC 1.0 stream formats. They are registered once, when
// the library is loaded; the system gives every process the same ID for the same name, so a
// client that registers the names itself compares equal with what DAdvise is given.

#include "twopc/group/OPCGroup.h"

#include <windows.h>

#include <optional>

namespace twopc::io {

inline constexpr char kFormatData[] = "OPCSTMFORMATDATA";
inline constexpr char kFormatDataWithTime[] = "OPCSTMFORMATDATATIME";
inline constexpr char kFormatWriteComplete[] = "OPCSTMFORMATWRITECOMPLETE";

// The registered ID of a format; 0 when the registration failed.
UINT ClipboardFormatOf(group::AdviseFormat format) noexcept;

// Which stream format a FORMATETC's cfFormat names, if any.
std::optional<group::AdviseFormat> AdviseFormatOf(CLIPFORMAT cfFormat) noexcept;

}  // namespace twopc::io
