#include "orv/hmx/osdep/_GetCodePageID.h"

#include <string_view>

#include "orv/hmx/Exception.h"

namespace orv::hmx::osdep {

std::uint32_t GetCodePageID(const char* name)
{
    const std::string_view requested = name == nullptr ? std::string_view() : std::string_view(name);
    if (requested.empty()) {
        return 0;  // CP_ACP
    }
    if (requested == "US-ASCII") {
        return 20127;
    }
    if (requested == "cp932") {
        return 932;
    }
    throw exception::InvalidLocale();
}

}  // namespace orv::hmx::osdep
