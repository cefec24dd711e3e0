#pragma once

#include <cstdarg>
#include <cstdio>

// The checker has to match the printf that the C runtime actually uses; MinGW
// tells us which one that is.
#if defined(__MINGW_PRINTF_FORMAT)
#define ORV_HMX_PRINTF_LIKE(formatIndex, firstArgIndex) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgIndex)))
#elif defined(__GNUC__)
#define ORV_HMX_PRINTF_LIKE(formatIndex, firstArgIndex) __attribute__((format(printf, formatIndex, firstArgIndex)))
#else
#define ORV_HMX_PRINTF_LIKE(formatIndex, firstArgIndex)
#endif

namespace orv::hmx {

// Writes printf-formatted text to the process's standard output and flushes it
// at once: the lines report start-up failures, and a process that dies soon
// after must not take them with it in the runtime's buffer.
void Trace(const char* format, ...) ORV_HMX_PRINTF_LIKE(1, 2);
void TraceV(const char* format, std::va_list arguments);

}  // namespace orv::hmx
