#pragma once
// Standard output and standard error. A console gets UTF-16 through WriteConsoleW; a pipe
// or a file gets UTF-8 with "\n" line ends, as the tools that read them expect (the C
// runtime's text mode, which would write CR LF, is turned off). Every write is flushed, so
// that a reader of a pipe sees each line when it is printed.

#include <windows.h>

#include <mutex>
#include <string>
#include <string_view>

namespace opcq {

class OutputStream {
public:
    explicit OutputStream(DWORD standardHandle);
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    bool IsConsole() const { return m_console; }
    // Whether the console shows these characters as they are. Under Wine a console is the
    // Unix terminal, which shows only what its locale's character set has (CP_UNIXCP,
    // Wine's own code page number, converts to it; Windows knows no such code page).
    bool CanShow(std::wstring_view text) const;
    // Width of the console window in columns; 0 when this is not a console.
    int ConsoleWidth() const;
    // Console only: moves the cursor to the start of the line `count` lines up and blanks
    // everything from there to the cursor, so that those lines can be drawn again.
    bool RewindLines(int count);

    void Write(std::wstring_view text);
    void Line(std::wstring_view text) { Write(std::wstring(text) + L"\n"); }

private:
    HANDLE m_handle;
    bool m_console;
    FILE* m_stream;
    std::mutex m_mutex;
};

OutputStream& StandardOutput();
OutputStream& StandardError();

}  // namespace opcq
