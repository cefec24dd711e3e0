#include "orv/hmx/osdep/WinError.h"

#include <windows.h>

#include <cstring>
#include <memory>

namespace orv::hmx::osdep {

namespace {

struct LocalFreeDeleter {
    void operator()(char* text) const noexcept { ::LocalFree(text); }
};

// System texts end in ".\r\n"; cutting before the character ahead of the first
// CR drops the point with the line break, and also drops whatever follows the
// first line of a multi-line text.
TaskString SystemMessage(std::uint32_t systemError)
{
    char* rawText = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        systemError, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), reinterpret_cast<char*>(&rawText), 0, nullptr);
    const std::unique_ptr<char, LocalFreeDeleter> text(rawText);
    if (length == 0 || text == nullptr) {
        return TaskString("Unknown error");
    }
    std::size_t kept = length;
    if (const void* carriageReturn = std::memchr(text.get(), '\r', length)) {
        const std::size_t crIndex = static_cast<std::size_t>(static_cast<const char*>(carriageReturn) - text.get());
        kept = crIndex == 0 ? 0 : crIndex - 1;
    }
    return TaskString(text.get(), text.get() + kept);
}

}  // namespace

WinError::WinError(std::source_location where) : WinError(static_cast<std::uint32_t>(::GetLastError()), where) {}

WinError::WinError(std::uint32_t systemError, std::source_location where)
    : OSException(SystemMessage(systemError), systemError, where)
{
}

WinError::~WinError() = default;

std::int32_t WinError::ErrorCode() const noexcept { return CodeFor(SystemError()); }

std::int32_t WinError::CodeFor(std::uint32_t systemError) noexcept
{
    switch (systemError) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
        return 7;
    case ERROR_TOO_MANY_OPEN_FILES:
        return 11;
    case ERROR_ACCESS_DENIED:
        return static_cast<std::int32_t>(0x80070005u);
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_PARAMETER:
        return 1;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return 2;
    case ERROR_BAD_FORMAT:
        return 23;
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return 8;
    case ERROR_BAD_UNIT:
        return 37;
    case ERROR_CRC:
        return -508;
    case ERROR_HANDLE_EOF:
        return 4;
    case ERROR_HANDLE_DISK_FULL:
        return 9;
    case ERROR_FILE_EXISTS:
        return -98;
    default:
        return OSException::Code;
    }
}

}  // namespace orv::hmx::osdep
