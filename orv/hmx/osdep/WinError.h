#pragma once

#include <cstdint>
#include <source_location>

#include "orv/hmx/osdep/OSException.h"

namespace orv::hmx::osdep {

// A Win32 failure. The message is the system's text for the error with its
// closing point and line break cut off ("Unknown error" when the system has no
// text); ErrorCode() maps the system error onto the codes the server reports.
class WinError : public OSException {
public:
    // Takes the calling thread's last error, so construct it straight after the
    // failing call, before anything else can overwrite that error.
    explicit WinError(std::source_location where = std::source_location::current());
    explicit WinError(std::uint32_t systemError, std::source_location where = std::source_location::current());
    ~WinError() override;

    std::int32_t ErrorCode() const noexcept override;

    static std::int32_t CodeFor(std::uint32_t systemError) noexcept;
};

}  // namespace orv::hmx::osdep
