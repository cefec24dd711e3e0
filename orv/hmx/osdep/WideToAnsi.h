#pragma once

#include "orv/hmx/TaskString.h"

namespace orv::hmx::osdep {

// Converts the wide text [first, last) to the code page named by codePageName
// (see GetCodePageID; the server passes "", the system ANSI code page).
// Characters the code page lacks are replaced the system's way (best fit, else
// its default character). Throws InvalidLocale for an unknown name, OutOfRange
// for a range beyond 32 bits and WinError when the system cannot convert.
TaskString WideToAnsi(const wchar_t* first, const wchar_t* last, const char* codePageName = "");

}  // namespace orv::hmx::osdep
