#include "orv/hmx/Exception.h"

namespace orv::hmx::exception {

Exception::Exception(std::source_location where) noexcept
    : sourceFile_(where.file_name()), sourceLine_(static_cast<std::uint32_t>(where.line()))
{
}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return "unspecified exception"; }

std::int32_t Exception::ErrorCode() const noexcept { return -1; }

OutOfRange::OutOfRange(std::source_location where) noexcept : Exception(where) {}

OutOfRange::~OutOfRange() = default;

const char* OutOfRange::what() const noexcept { return "Out of range"; }

std::int32_t OutOfRange::ErrorCode() const noexcept { return Code; }

InvalidLocale::InvalidLocale(std::source_location where) noexcept : Exception(where) {}

InvalidLocale::~InvalidLocale() = default;

const char* InvalidLocale::what() const noexcept { return "Invalid locale"; }

std::int32_t InvalidLocale::ErrorCode() const noexcept { return Code; }

}  // namespace orv::hmx::exception
