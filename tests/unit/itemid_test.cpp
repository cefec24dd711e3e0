#include <doctest.h>

#include <windows.h>

#include <iterator>
#include <string>
#include <string_view>

#include "orv/hmx/ItemIdPath.h"

using orv::hmx::CheckItemId;
using orv::hmx::ItemIdStatus;
using orv::hmx::ItemIdStatusToHResult;
using orv::hmx::ScanItemIdPath;

namespace {

struct IdCase {
    const wchar_t* id;
    HRESULT expected;
};

// The IDs are ASCII apart from CR, LF and TAB, which are spelled out for the report.
std::string Printable(std::wstring_view id)
{
    std::string text;
    for (wchar_t c : id) {
        if (c == L'\r') text += "<CR>";
        else if (c == L'\n') text += "<LF>";
        else if (c == L'\t') text += "<TAB>";
        else text += static_cast<char>(c);
    }
    return text;
}

template <std::size_t N>
void CheckAll(const IdCase (&cases)[N])
{
    for (const IdCase& c : cases) {
        INFO("id: ", Printable(c.id));
        CHECK(CheckItemId(c.id) == c.expected);
    }
}

constexpr HRESULT Code(unsigned long value)
{
    return static_cast<HRESULT>(value);
}

}  // namespace

TEST_CASE("well-formed network paths are accepted")
{
    const IdCase cases[] = {
        {L"\\\\.\\proc1\\Waveform.cosine", S_OK},
        {L"\\\\node7.area2\\proc1\\a\\b.c", S_OK},
        {L"\\\\host\\'my proc'\\a", S_OK},
        {L"\\\\host\\'it''s'\\a", S_OK},         // a doubled quote does not close the name
        {L"\\\\host\\''\\a", S_OK},               // an empty quoted process name still has its quotes
        {L"\\\\host\\proc\\'x.y\\z'.w", S_OK},   // separators inside quotes are text
        {L"\\\\host\\proc\\a.", S_OK},
        {L"\\\\host\\proc\\a\\", S_OK},          // a trailing backslash ends the object part too
        {L"\\\\host\\proc\\a b", S_OK},
        {L"\\\\host..x\\proc\\a", S_OK},         // points do not stop a computer name
        {L"\\\\host\\proc\\a\tb", S_OK},         // TAB stops only computer names
    };
    CheckAll(cases);
}

TEST_CASE("each fault gives its own failure code")
{
    const IdCase cases[] = {
        // Not a network path.
        {L"\\proc\\obj", Code(0x8ABC0100)},
        {L"", Code(0x8ABC0100)},
        {L"\\", Code(0x8ABC0100)},
        {L"x\\\\host\\proc\\a", Code(0x8ABC0100)},
        {nullptr, Code(0x8ABC0100)},
        // Nothing after the leading backslashes, or a third one.
        {L"\\\\", Code(0x8ABC0022)},
        {L"\\\\\\x", Code(0x8ABC0101)},
        // Computer part.
        {L"\\\\'host'\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\/host\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\ host\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\\thost\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\\rhost\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\my host\\proc\\a", Code(0x8ABC0024)},
        {L"\\\\host/x\\proc\\a", Code(0x8ABC0024)},
        {L"\\\\..\\proc\\a", Code(0x8ABC0024)},  // the local computer is a single point
        {L"\\\\.x\\proc\\a", Code(0x8ABC0024)},
        {L"\\\\host", Code(0x8ABC0025)},
        {L"\\\\.", Code(0x8ABC0025)},
        // Process part.
        {L"\\\\host\\", Code(0x8ABC0025)},
        {L"\\\\host\\\\proc\\a", Code(0x8ABC0102)},
        {L"\\\\host\\.proc\\a", Code(0x8ABC0102)},
        {L"\\\\host\\\rproc\\a", Code(0x8ABC0030)},
        {L"\\\\host\\\nproc\\a", Code(0x8ABC0030)},
        {L"\\\\host\\proc'x'\\obj", Code(0x8ABC0026)},
        {L"\\\\host\\proc.x\\a", Code(0x8ABC0026)},
        {L"\\\\host\\p/q\\a", Code(0x8ABC0026)},
        {L"\\\\host\\'p\\q'\\a", Code(0x8ABC0026)},
        {L"\\\\host\\'p/q'\\a", Code(0x8ABC0026)},
        {L"\\\\host\\'my proc\\a", Code(0x8ABC0104)},
        {L"\\\\host\\proc", Code(0x8ABC0027)},
        {L"\\\\host\\'proc'", Code(0x8ABC0027)},
        // Object part.
        {L"\\\\host\\proc\\", Code(0x8ABC0027)},
        {L"\\\\host\\proc\\\\a", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\..\\a", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a..b", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a..", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a.\\b", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a\\\\", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\\ra", Code(0x8ABC0030)},
        {L"\\\\host\\proc\\a.\nb", Code(0x8ABC0030)},
        {L"\\\\host\\proc\\'a", Code(0x8ABC0104)},
        {L"\\\\host\\proc\\a\\'b''", Code(0x8ABC0104)},
        {L"\\\\host\\proc\\obj'x'", Code(0x8ABC0028)},
        {L"\\\\host\\proc\\'a'b", Code(0x8ABC0028)},
        {L"\\\\host\\proc\\a\r", Code(0x8ABC0028)},
    };
    CheckAll(cases);
}

TEST_CASE("the first fault from the left decides")
{
    const IdCase cases[] = {
        {L"\\\\my host\\proc\\'open", Code(0x8ABC0024)},
        {L"\\\\host\\p/q\\'open", Code(0x8ABC0026)},
        {L"\\\\host\\\\proc/x\\a", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a..b'x", Code(0x8ABC0102)},
        {L"\\\\host\\proc\\a'x'..", Code(0x8ABC0028)},
        {L"\\\\host\\'p/q", Code(0x8ABC0104)},  // the open quote is met before the slash is judged
    };
    CheckAll(cases);
}

TEST_CASE("every status maps to its code, unknown ones to E_FAIL")
{
    const struct {
        int status;
        HRESULT expected;
    } cases[] = {
        {0, S_OK},
        {2, Code(0x8ABC0027)},
        {3, Code(0x8ABC0022)},
        {4, Code(0x8ABC0025)},
        {5, Code(0x8ABC0101)},
        {6, Code(0x8ABC0100)},
        {7, Code(0x8ABC0024)},
        {8, Code(0x8ABC0102)},
        {9, Code(0x8ABC0026)},
        {10, Code(0x8ABC0103)},
        {11, Code(0x8ABC0028)},
        {12, Code(0x8ABC0030)},
        {13, Code(0x8ABC0023)},
        {14, Code(0x8ABC0104)},
        {1, E_FAIL},
        {15, E_FAIL},
        {-1, E_FAIL},
    };
    for (const auto& c : cases) {
        INFO("status ", c.status);
        CHECK(ItemIdStatusToHResult(static_cast<ItemIdStatus>(c.status)) == c.expected);
    }
}

TEST_CASE("the scan splits an ID into computer, process and object")
{
    SUBCASE("dotted host, quoted process, dotted object")
    {
        const auto path = ScanItemIdPath(L"\\\\node7.area2\\'my proc'\\a\\b.c");
        CHECK(path.status == ItemIdStatus::WellFormed);
        CHECK(path.computer == L"node7.area2");
        CHECK(path.process == L"'my proc'");
        CHECK(path.object == L"a\\b.c");
    }
    SUBCASE("local computer and a trailing point")
    {
        const auto path = ScanItemIdPath(L"\\\\.\\proc1\\Waveform.");
        CHECK(path.status == ItemIdStatus::WellFormed);
        CHECK(path.computer == L".");
        CHECK(path.process == L"proc1");
        CHECK(path.object == L"Waveform.");
    }
    SUBCASE("the text ends at a null character")
    {
        // Whatever follows the terminator of a C string is not part of the ID.
        const wchar_t buffer[] = L"\\\\h\\p\\a\0'";
        CHECK(CheckItemId(buffer) == S_OK);
        CHECK(ScanItemIdPath(std::wstring_view(buffer, std::size(buffer) - 1)).status ==
              ItemIdStatus::TrailingCharacters);
    }
}
