// Worked examples of the item-ID scanner: the cases that name a rule of their own.

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

}  // namespace

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
