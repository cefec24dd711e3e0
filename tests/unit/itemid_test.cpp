// Worked examples of the item-ID scanner. The random comparison with a reference model
// (model_itemid_test) covers the rest; these pin the cases that name a rule of their own.

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

constexpr HRESULT Code(unsigned long value) { return static_cast<HRESULT>(value); }

// The IDs are ASCII apart from CR, LF and TAB, which are spelled out for the report.
std::string Printable(std::wstring_view id)
{
    std::string text;
    for (wchar_t c : id)
        text += c == L'\r' ? "<CR>" : c == L'\n' ? "<LF>" : c == L'\t' ? "<TAB>" : std::string(1, char(c));
    return text;
}

}  // namespace

TEST_CASE("each rule of the syntax, one example apiece")
{
    const struct {
        const wchar_t* id;
        HRESULT expected;
    } cases[] = {
        {L"\\\\host\\'it''s'\\a", S_OK},           // a doubled quote does not close the name
        {L"\\\\host\\''\\a", S_OK},                // an empty quoted process name still has its quotes
        {L"\\\\host\\proc\\'x.y\\z'.w", S_OK},    // separators inside quotes are text
        {L"\\\\host\\proc\\a\\", S_OK},           // a trailing backslash ends the object part too
        {L"\\\\host..x\\proc\\a", S_OK},          // points do not stop a computer name
        {L"\\\\host\\proc\\a\tb", S_OK},          // TAB stops only computer names
        {L"\\\\\thost\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\'host'\\proc\\a", Code(0x8ABC0023)},
        {L"\\\\..\\proc\\a", Code(0x8ABC0024)},   // the local computer is a single point
        {nullptr, Code(0x8ABC0100)},
        {L"\\\\host\\", Code(0x8ABC0025)},
        {L"\\\\host\\proc\\", Code(0x8ABC0027)},
        {L"\\\\host\\'p\\q'\\a", Code(0x8ABC0026)}, // quotes do not make a backslash allowed in a process
        {L"\\\\host\\\rproc\\a", Code(0x8ABC0030)},
        {L"\\\\host\\proc\\a.\nb", Code(0x8ABC0030)},
        {L"\\\\host\\proc\\a\\'b''", Code(0x8ABC0104)},  // the doubled quote leaves the name open
        {L"\\\\host\\proc\\a\r", Code(0x8ABC0028)},
        // The first fault from the left decides.
        {L"\\\\my host\\proc\\'open", Code(0x8ABC0024)},
        {L"\\\\host\\proc\\a'x'..", Code(0x8ABC0028)},
        {L"\\\\host\\'p/q", Code(0x8ABC0104)},    // the open quote is met before the slash is judged
    };
    for (const auto& c : cases) {
        INFO("id: ", c.id ? Printable(c.id) : "(null)");
        CHECK(CheckItemId(c.id) == c.expected);
    }
}

TEST_CASE("the scan splits an ID into computer, process and object, and stops at a null")
{
    auto path = ScanItemIdPath(L"\\\\node7.area2\\'my proc'\\a\\b.c");
    CHECK(path.status == ItemIdStatus::WellFormed);
    CHECK(path.computer == L"node7.area2");
    CHECK(path.process == L"'my proc'");
    CHECK(path.object == L"a\\b.c");

    path = ScanItemIdPath(L"\\\\.\\proc1\\Waveform.");
    CHECK(path.computer == L".");
    CHECK(path.object == L"Waveform.");

    // Whatever follows the terminator of a C string is not part of the ID.
    const wchar_t buffer[] = L"\\\\h\\p\\a\0'";
    CHECK(CheckItemId(buffer) == S_OK);
    CHECK(ScanItemIdPath(std::wstring_view(buffer, std::size(buffer) - 1)).status == ItemIdStatus::TrailingCharacters);
}
