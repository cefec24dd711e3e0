#pragma once

#include <concepts>
#include <utility>

#include "orv/hmx/Exception.h"

namespace orv::hmx {

// Narrowing that refuses to lose a value. Every string length (strlen, wcslen,
// pointer differences) goes through here before it is stored in 32 bits, so a
// text longer than 4 GiB - or a reversed range - fails loudly instead of wrapping.
template <std::integral To, std::integral From>
constexpr To NumericCast(From value)
{
    if (!std::in_range<To>(value)) {
        throw exception::OutOfRange();
    }
    return static_cast<To>(value);
}

}  // namespace orv::hmx
