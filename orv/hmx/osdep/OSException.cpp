#include "orv/hmx/osdep/OSException.h"

#include <utility>

namespace orv::hmx::osdep {

OSException::OSException(std::source_location where) : OSException("Unknown error", 0, where) {}

OSException::OSException(const char* message, std::uint32_t systemError, std::source_location where)
    : OSException(TaskString(message), systemError, where)
{
}

OSException::OSException(TaskString message, std::uint32_t systemError, std::source_location where)
    : Exception(where), message_(std::make_shared<const TaskString>(std::move(message))), systemError_(systemError)
{
}

OSException::~OSException() = default;

const char* OSException::what() const noexcept { return message_->c_str(); }

std::int32_t OSException::ErrorCode() const noexcept { return Code; }

std::uint32_t OSException::SystemError() const noexcept { return systemError_; }

}  // namespace orv::hmx::osdep
