#include <doctest.h>

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

#include "orv/hmx/Exception.h"
#include "orv/hmx/NumericCast.h"
#include "orv/hmx/SafeInteger.h"
#include "orv/hmx/TaskString.h"
#include "orv/hmx/Trace.h"
#include "orv/hmx/osdep/WideToAnsi.h"
#include "orv/hmx/osdep/WinError.h"
#include "orv/hmx/osdep/_GetCodePageID.h"

#include "MallocSpy.h"

using namespace orv::hmx;
using exception::InvalidLocale;
using exception::OutOfRange;
using osdep::WinError;

namespace {

SIZE_T BlockSize(const void* block)
{
    IMalloc* allocator = nullptr;
    REQUIRE(CoGetMalloc(1, &allocator) == S_OK);
    const SIZE_T size = allocator->GetSize(const_cast<void*>(block));
    allocator->Release();
    return size;
}

// Makes every task-allocator reallocation above a byte limit fail, so that the
// fallback paths run without exhausting memory. Static, because COM may keep a
// revoked spy until its last tracked block is gone.
class ReallocLimitSpy final : public twopc::test::PassThroughMallocSpy {
public:
    SIZE_T limit = std::numeric_limits<SIZE_T>::max();
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL) override
    {
        *newRequest = request;
        return size > limit ? SIZE_T{1} << 60 : size;  // no heap grants that
    }
};

ReallocLimitSpy reallocLimitSpy;

struct ReallocLimit {
    explicit ReallocLimit(SIZE_T bytes)
    {
        reallocLimitSpy.limit = bytes;
        REQUIRE(CoRegisterMallocSpy(&reallocLimitSpy) == S_OK);
    }
    ~ReallocLimit()
    {
        CoRevokeMallocSpy();
        reallocLimitSpy.limit = std::numeric_limits<SIZE_T>::max();
    }
};

}  // namespace

TEST_CASE("WinError maps system errors and trims the system text")
{
    SUBCASE("error codes by system error, 42 for the others")
    {
        const std::pair<std::uint32_t, std::int32_t> table[] = {
            {0, 0},   {2, 7},   {3, 7},   {15, 7},  {4, 11},  {5, static_cast<std::int32_t>(0x80070005)},
            {6, 1},   {87, 1},  {8, 2},   {14, 2},  {11, 23}, {16, 8}, {19, 8}, {32, 8}, {33, 8},
            {20, 37}, {23, -508}, {38, 4}, {39, 9}, {80, -98}, {21, 42}, {12345, 42}};
        for (const auto& [systemError, code] : table) {
            CAPTURE(systemError);
            CHECK(WinError::CodeFor(systemError) == code);
        }
        CHECK(WinError(23).ErrorCode() == -508);
    }

    SUBCASE("made from the last error of a failed file open")
    {
        const HANDLE file = CreateFileW(L"hmx_test_no_such_file.none", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(file == INVALID_HANDLE_VALUE);
        const WinError error;
        CHECK(error.SystemError() == 2);
        CHECK(error.ErrorCode() == 7);

        char systemText[512] = {};
        const DWORD systemLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2,
                                                  0, systemText, sizeof systemText, nullptr);
        const std::string_view text(systemText, systemLength);
        const std::size_t crIndex = text.find('\r');
        REQUIRE(crIndex != std::string_view::npos);
        REQUIRE(crIndex >= 2);
        CHECK(std::string_view(error.what()) == text.substr(0, crIndex - 1));
    }

    SUBCASE("an error without system text keeps the default message")
    {
        const WinError error(0x2000ABCDu);
        CHECK(std::string_view(error.what()) == "Unknown error");
        CHECK(static_cast<const osdep::OSException&>(error).SystemError() == 0x2000ABCDu);
    }
}

TEST_CASE("task-allocator string blocks")
{
    const std::string hundred(100, 'h');
    TaskString text(hundred.data(), hundred.data() + hundred.size());
    REQUIRE(text.Capacity() == 100);
    const char* const bigBlock = text.Begin();

    SUBCASE("assignment reuses a block unless it is too small or less than half used")
    {
        text.Assign(std::string(60, 's').c_str());
        CHECK(text.Begin() == bigBlock);
        CHECK(BlockSize(text.Begin()) == 101);
        text.Assign(std::string(50, 'f').c_str());  // exactly half still fits
        CHECK(text.Begin() == bigBlock);

        text.Assign("abc");
        CHECK(text.Capacity() == 3);
        CHECK(BlockSize(text.Begin()) == 4);
        CHECK(text.View() == "abc");
        text.Assign("gggg");  // more than the capacity: exactly what is needed
        CHECK(BlockSize(text.Begin()) == 5);

        TaskWString wide(L"0123456789");
        wide.Assign(L"xyz");
        CHECK(BlockSize(wide.Begin()) == 8);
        CHECK(wide.View() == L"xyz");
    }

    SUBCASE("assigning part of itself survives the reallocation")
    {
        text.Data()[10] = 'A';
        text.Data()[12] = 'C';
        text.Assign(text.Begin() + 10, text.Begin() + 13);
        CHECK(text.View() == "AhC");
        CHECK(BlockSize(text.Begin()) == 4);
    }

    SUBCASE("null and empty texts still own a terminated block")
    {
        const TaskWString fromNull(static_cast<const wchar_t*>(nullptr));
        REQUIRE(fromNull.HasBlock());
        CHECK(BlockSize(fromNull.Begin()) == sizeof(wchar_t));
        text.Assign(static_cast<const char*>(nullptr));
        CHECK(text.Empty());
        CHECK(BlockSize(text.Begin()) == 1);
    }

    SUBCASE("detach hands over the block, move leaves no block behind, a copy has its own")
    {
        TaskString moved(std::move(text));
        CHECK_FALSE(text.HasBlock());
        CHECK(std::string_view(text.c_str()).empty());
        char* const handedOver = moved.Detach();
        CHECK(handedOver == bigBlock);
        CHECK_FALSE(moved.HasBlock());
        CoTaskMemFree(handedOver);

        const TaskString original("copy me");
        const TaskString copy(original);
        CHECK(copy.Begin() != original.Begin());
        CHECK(copy.View() == "copy me");
    }
}

TEST_CASE("Trace writes its line through to standard output at once")
{
    // Fully buffered, as a redirected stdout may be: the line only arrives here if it
    // is flushed (MinGW's printf does so itself; other runtimes rely on Trace).
    std::fflush(stdout);
    REQUIRE(std::setvbuf(stdout, nullptr, _IOFBF, 4096) == 0);
    const int stdoutFd = _fileno(stdout);
    int pipeFds[2] = {-1, -1};
    REQUIRE(_pipe(pipeFds, 4096, _O_BINARY) == 0);
    const int savedStdout = _dup(stdoutFd);
    REQUIRE(_dup2(pipeFds[1], stdoutFd) == 0);

    Trace("Failed to get a %s interface\n", "KelvaneRealTime");

    _dup2(savedStdout, stdoutFd);
    _close(savedStdout);
    _close(pipeFds[1]);
    char received[128] = {};
    const int count = _read(pipeFds[0], received, sizeof received - 1);
    _close(pipeFds[0]);
    std::string line(received, count > 0 ? count : 0);
    std::erase(line, '\r');  // standard output may be in text mode
    CHECK(line == "Failed to get a KelvaneRealTime interface\n");
}
