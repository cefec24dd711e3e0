#include "orv/hmx/Trace.h"

namespace orv::hmx {

void Trace(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    TraceV(format, arguments);
    va_end(arguments);
}

void TraceV(const char* format, std::va_list arguments)
{
    std::vfprintf(stdout, format, arguments);
    std::fflush(stdout);
}

}  // namespace orv::hmx
