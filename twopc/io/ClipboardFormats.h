#pragma once
// The clipboard formats of the three OPC 1.0 stream formats. They are registered once, when
// the library is loaded; the system gives every process the same ID for the same name, so a
// client that registers the names itself compares equal with what DAdvise is given.

#include <windows.h>
#include <objidl.h>

#include <optional>

namespace twopc::io {

// The three OPC 1.0 stream formats a client can advise.
enum class AdviseFormat { DataWithTime, Data, WriteComplete };

inline constexpr char kFormatData[] = "OPCSTMFORMATDATA";
inline constexpr char kFormatDataWithTime[] = "OPCSTMFORMATDATATIME";
inline constexpr char kFormatWriteComplete[] = "OPCSTMFORMATWRITECOMPLETE";

// The registered ID of a format; 0 when the registration failed.
UINT ClipboardFormatOf(AdviseFormat format) noexcept;

// Which stream format a FORMATETC's cfFormat names, if any.
std::optional<AdviseFormat> AdviseFormatOf(CLIPFORMAT cfFormat) noexcept;

}  // namespace twopc::io
