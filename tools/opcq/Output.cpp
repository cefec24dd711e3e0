#include "Output.h"

#include "Values.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace opcq {

OutputStream::OutputStream(DWORD standardHandle)
    : m_handle(GetStdHandle(standardHandle)),
      m_console(false),
      m_stream(standardHandle == STD_ERROR_HANDLE ? stderr : stdout)
{
    DWORD mode = 0;
    m_console = m_handle && m_handle != INVALID_HANDLE_VALUE && GetConsoleMode(m_handle, &mode);
    if (!m_console) _setmode(_fileno(m_stream), _O_BINARY);
}

bool OutputStream::CanShow(std::wstring_view text) const
{
    constexpr UINT kWineUnixCodePage = 65010;
    if (!m_console) return false;
    BOOL replaced = FALSE;
    const int length = WideCharToMultiByte(kWineUnixCodePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                           0, nullptr, &replaced);
    return length == 0 || !replaced;
}

int OutputStream::ConsoleWidth() const
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!m_console || !GetConsoleScreenBufferInfo(m_handle, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool OutputStream::RewindLines(int count)
{
    std::scoped_lock hold(m_mutex);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!m_console || !GetConsoleScreenBufferInfo(m_handle, &info)) return false;
    // Console API rather than escape sequences: every Windows console has it.
    const SHORT top = static_cast<SHORT>(info.dwCursorPosition.Y > count ? info.dwCursorPosition.Y - count : 0);
    const COORD start{0, top};
    const DWORD cells = static_cast<DWORD>(info.dwCursorPosition.Y - top + 1) * static_cast<DWORD>(info.dwSize.X);
    DWORD written = 0;
    FillConsoleOutputCharacterW(m_handle, L' ', cells, start, &written);
    FillConsoleOutputAttribute(m_handle, info.wAttributes, cells, start, &written);
    return SetConsoleCursorPosition(m_handle, start) != 0;
}

void OutputStream::Write(std::wstring_view text)
{
    std::scoped_lock hold(m_mutex);
    if (m_console) {
        DWORD written = 0;
        WriteConsoleW(m_handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), m_stream);
    std::fflush(m_stream);
}

OutputStream& StandardOutput()
{
    static OutputStream stream(STD_OUTPUT_HANDLE);
    return stream;
}

OutputStream& StandardError()
{
    static OutputStream stream(STD_ERROR_HANDLE);
    return stream;
}

}  // namespace opcq
