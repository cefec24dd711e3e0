#pragma once

#include <cstdint>
#include <limits>

#include "orv/hmx/Exception.h"

namespace orv::hmx {

// Element count of a text of `length` characters plus its terminator. A length
// of 0xFFFFFFFF has no room left for the terminator in 32 bits.
constexpr std::uint32_t TerminatedLength(std::uint32_t length)
{
    if (length == std::numeric_limits<std::uint32_t>::max()) {
        throw exception::OutOfRange();
    }
    return length + 1;
}

// Byte count of a wide text of `length` characters plus its terminator. The
// system takes wide lengths as a signed int, so anything that reads as negative
// is refused as well as a byte count that would not fit in 32 bits.
constexpr std::uint32_t WideTerminatedByteCount(std::uint32_t length)
{
    constexpr std::uint64_t bytesPerChar = sizeof(wchar_t);
    if (length > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        throw exception::OutOfRange();
    }
    const std::uint64_t bytes = (std::uint64_t{length} + 1) * bytesPerChar;
    if (bytes > std::numeric_limits<std::uint32_t>::max()) {
        throw exception::OutOfRange();
    }
    return static_cast<std::uint32_t>(bytes);
}

}  // namespace orv::hmx
