#pragma once

// Internal to the text conversion (hence the leading underscore of the file name).

#include <cstdint>

namespace orv::hmx::osdep {

// The Windows code page for a locale's character-set name: "" (or null) is the
// system ANSI code page (0), "US-ASCII" is 20127, "cp932" is 932. Other names
// throw exception::InvalidLocale rather than converting through a guessed page.
std::uint32_t GetCodePageID(const char* name);

}  // namespace orv::hmx::osdep
