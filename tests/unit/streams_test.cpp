// The worked examples of the OPC 1.0 stream formats, and the clipboard formats that name
// them. Every other layout is compared byte by byte with a model in model_streams_test.

#include <doctest.h>

#include "twopc/io/ClipboardFormats.h"
#include "twopc/io/Streams.h"

#include <cstring>
#include <string>
#include <vector>

using twopc::group::AdviseFormat;
using twopc::io::StreamItems;
using twopc::io::UniqueHGlobal;

namespace {

VARIANT Of(VARTYPE type, LONGLONG bits = 0)
{
    VARIANT v{};  // reserved words zero, so the record can be compared whole
    v.vt = type;
    v.llVal = bits;
    return v;
}

// Builds a data stream over `values` (client handles 0x1000 on, good then bad quality) and
// returns its bytes, checking the group header on the way.
struct Built {
    std::vector<BYTE> data;
    Built(bool withTime, std::vector<VARIANT> values, DWORD expectedSize)
    {
        std::vector<OPCHANDLE> handles;
        std::vector<WORD> qualities;
        std::vector<FILETIME> times;
        for (std::size_t i = 0; i < values.size(); ++i) {
            handles.push_back(0x1000 + static_cast<OPCHANDLE>(i));
            qualities.push_back(i % 2 ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD);
            times.push_back(FILETIME{0x11223344u, 0x01D00000u});
        }
        const auto count = static_cast<DWORD>(values.size());
        UniqueHGlobal block;
        REQUIRE(twopc::io::BuildDataStream(withTime, 77, 9, {count, handles.data(), values.data(), qualities.data(),
                                                             times.data()}, block) == S_OK);
        const auto* p = static_cast<const BYTE*>(GlobalLock(block.Get()));
        REQUIRE(p);
        data.assign(p, p + GlobalSize(block.Get()));
        GlobalUnlock(block.Get());
        for (VARIANT& v : values) VariantClear(&v);
        REQUIRE(data.size() >= expectedSize);
        CHECK(U32(0) == expectedSize);
        CHECK(U32(4) == count);
        CHECK(U32(8) == 77);
        CHECK(U32(12) == 9);
    }
    template <class T>
    T At(std::size_t at) const
    {
        REQUIRE(at + sizeof(T) <= data.size());
        T v;
        std::memcpy(&v, &data[at], sizeof(T));
        return v;
    }
    DWORD U32(std::size_t at) const { return At<DWORD>(at); }
    WORD U16(std::size_t at) const { return At<WORD>(at); }
};

}  // namespace

TEST_CASE("worked sizes: 64 bytes for a time-stamped double, 76 for \"abc\", 92 for two plain VT_I4")
{
    double real = 2.5;
    LONGLONG bits;
    std::memcpy(&bits, &real, 8);
    Built timed(true, {Of(VT_R8, bits)}, 64);
    CHECK(timed.U32(20) == 0x1000);
    CHECK(timed.U32(24) == 40);
    CHECK(timed.U16(28) == OPC_QUALITY_GOOD);
    CHECK(timed.U32(32) == 0x11223344u);  // FILETIME, low part first
    CHECK(timed.U16(40) == VT_R8);
    CHECK(std::memcmp(&timed.data[48], &real, 8) == 0);

    VARIANT text = Of(VT_BSTR);
    text.bstrVal = SysAllocString(L"abc");
    Built abc(true, {text}, 76);
    CHECK(abc.U32(64) == 6);
    CHECK(std::memcmp(&abc.data[68], L"abc", 8) == 0);  // three characters and the terminator

    Built plain(false, {Of(VT_I4, -5), Of(VT_I4, 0x12345678)}, 92);
    CHECK(plain.U32(24) == 44);
    CHECK(plain.U32(32) == 0x1001);
    CHECK(plain.U32(36) == 68);
    CHECK(plain.U16(40) == OPC_QUALITY_BAD);
    CHECK(plain.U32(52) == static_cast<DWORD>(-5));
    CHECK(plain.U32(76) == 0x12345678u);
}

TEST_CASE("string records are sized by their own length: \"\", \"xy\" and a null BSTR")
{
    VARIANT empty = Of(VT_BSTR), xy = Of(VT_BSTR), null = Of(VT_BSTR);
    empty.bstrVal = SysAllocString(L"");
    xy.bstrVal = SysAllocString(L"xy");
    const DWORD first = 20 + 4 * 12;
    const DWORD second = first + 24 + 4 + 2;
    const DWORD third = second + 24 + 4 + 6;
    const DWORD fourth = third + 24 + 4 + 2;  // null stands for "": length 0, terminator sent
    Built b(false, {empty, xy, null, Of(VT_R8)}, fourth + 24);
    CHECK(b.U32(24) == first);
    CHECK(b.U32(36) == second);
    CHECK(b.U32(48) == third);
    CHECK(b.U32(60) == fourth);
    CHECK(b.U32(first + 24) == 0);
    CHECK(b.U16(first + 28) == 0);
    CHECK(b.U32(second + 24) == 4);
    CHECK(std::memcmp(&b.data[second + 28], L"xy", 6) == 0);
    CHECK(b.U32(third + 24) == 0);
    CHECK(b.U16(third + 28) == 0);
}

TEST_CASE("the three format names map to their registered IDs, and nothing else does")
{
    const UINT data = RegisterClipboardFormatA("OPCSTMFORMATDATA");
    const UINT timed = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    const UINT write = RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE");
    REQUIRE(data >= 0xC000);
    CHECK(twopc::io::ClipboardFormatOf(AdviseFormat::Data) == data);
    CHECK(twopc::io::ClipboardFormatOf(AdviseFormat::DataWithTime) == timed);
    CHECK(twopc::io::ClipboardFormatOf(AdviseFormat::WriteComplete) == write);
    CHECK(twopc::io::AdviseFormatOf(static_cast<CLIPFORMAT>(data)) == AdviseFormat::Data);
    CHECK(twopc::io::AdviseFormatOf(static_cast<CLIPFORMAT>(timed)) == AdviseFormat::DataWithTime);
    CHECK(twopc::io::AdviseFormatOf(static_cast<CLIPFORMAT>(write)) == AdviseFormat::WriteComplete);
    CHECK_FALSE(twopc::io::AdviseFormatOf(0).has_value());
    CHECK_FALSE(twopc::io::AdviseFormatOf(CF_TEXT).has_value());
    CHECK_FALSE(twopc::io::AdviseFormatOf(static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATOTHER")))
                    .has_value());
}
