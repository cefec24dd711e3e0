#pragma once

#include <cstdint>
#include <memory>
#include <source_location>

#include "orv/hmx/Exception.h"
#include "orv/hmx/TaskString.h"

namespace orv::hmx::osdep {

// A failure reported by the operating system: a message for people and the
// system's own error number. The message is held through a shared pointer so
// that copying the exception - which the runtime may do while it is in flight -
// never allocates and cannot fail.
class OSException : public exception::Exception {
public:
    static constexpr std::int32_t Code = 42;

    // Message "Unknown error", system error 0.
    explicit OSException(std::source_location where = std::source_location::current());
    OSException(const char* message, std::uint32_t systemError,
                std::source_location where = std::source_location::current());
    OSException(TaskString message, std::uint32_t systemError,
                std::source_location where = std::source_location::current());
    ~OSException() override;

    const char* what() const noexcept override;
    std::int32_t ErrorCode() const noexcept override;
    virtual std::uint32_t SystemError() const noexcept;

    const TaskString& Message() const noexcept { return *message_; }

private:
    std::shared_ptr<const TaskString> message_;
    std::uint32_t systemError_;
};

}  // namespace orv::hmx::osdep
