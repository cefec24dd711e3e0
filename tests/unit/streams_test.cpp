// The OPC 1.0 stream formats, decoded byte by byte, and the clipboard formats that name them.

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

// A copy of a built block, read as the little-endian records a client decodes.
struct Bytes {
    std::vector<BYTE> data;
    explicit Bytes(const UniqueHGlobal& block)
    {
        REQUIRE(block);
        const SIZE_T size = GlobalSize(block.Get());
        const void* p = GlobalLock(block.Get());
        REQUIRE(p);
        data.assign(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + size);
        GlobalUnlock(block.Get());
    }
    DWORD U32(std::size_t at) const
    {
        REQUIRE(at + 4 <= data.size());
        DWORD v;
        std::memcpy(&v, &data[at], 4);
        return v;
    }
    WORD U16(std::size_t at) const
    {
        REQUIRE(at + 2 <= data.size());
        WORD v;
        std::memcpy(&v, &data[at], 2);
        return v;
    }
    bool Same(std::size_t at, const void* expected, std::size_t size) const
    {
        return at + size <= data.size() && std::memcmp(&data[at], expected, size) == 0;
    }
};

// Item arrays with distinctive client handles, qualities and timestamps.
struct Items {
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    explicit Items(std::vector<VARIANT> v) : values(std::move(v))
    {
        for (std::size_t i = 0; i < values.size(); ++i) {
            handles.push_back(0x1000 + static_cast<OPCHANDLE>(i));
            qualities.push_back(i % 2 ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD);
            times.push_back(FILETIME{0x11223344u + static_cast<DWORD>(i), 0x01D00000u});
        }
    }
    ~Items()
    {
        for (VARIANT& v : values) VariantClear(&v);
    }
    StreamItems View() const
    {
        return {static_cast<DWORD>(values.size()), handles.data(), values.data(), qualities.data(), times.data()};
    }
};

VARIANT Double(double d)
{
    VARIANT v{};  // reserved words zero, so the record can be compared whole
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

VARIANT Int(LONG n)
{
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

VARIANT Text(const wchar_t* s)
{
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = s ? SysAllocString(s) : nullptr;
    return v;
}

void CheckGroupHeader(const Bytes& b, DWORD size, DWORD count, OPCHANDLE group, DWORD transaction)
{
    CHECK(b.U32(0) == size);
    CHECK(b.U32(4) == count);
    CHECK(b.U32(8) == group);
    CHECK(b.U32(12) == transaction);
    CHECK(b.U32(16) == 0);  // hrStatus
    CHECK(b.data.size() >= size);
}

}  // namespace

TEST_CASE("time-stamped streams: one double, one string")
{
    SUBCASE("VT_R8: 64 bytes, value at 40")
    {
        Items items({Double(2.5)});
        UniqueHGlobal block;
        REQUIRE(twopc::io::BuildDataStream(true, 77, 9, items.View(), block) == S_OK);
        Bytes b(block);
        CheckGroupHeader(b, 64, 1, 77, 9);
        CHECK(b.U32(20) == 0x1000);        // hClient
        CHECK(b.U32(24) == 40);            // dwValueOffset
        CHECK(b.U16(28) == OPC_QUALITY_GOOD);
        CHECK(b.U16(30) == 0);             // wReserved
        CHECK(b.U32(32) == 0x11223344u);   // FILETIME, low part first
        CHECK(b.U32(36) == 0x01D00000u);
        CHECK(b.Same(40, &items.values[0], 24));
        CHECK(b.U16(40) == VT_R8);
        double d;
        std::memcpy(&d, &b.data[48], 8);
        CHECK(d == 2.5);
    }
    SUBCASE("VT_BSTR \"abc\": 76 bytes, length 6, characters and terminator")
    {
        Items items({Text(L"abc")});
        UniqueHGlobal block;
        REQUIRE(twopc::io::BuildDataStream(true, 1, 0, items.View(), block) == S_OK);
        Bytes b(block);
        CheckGroupHeader(b, 76, 1, 1, 0);
        CHECK(b.U32(24) == 40);
        CHECK(b.Same(40, &items.values[0], 24));  // the pointer too: it is sent as it lies
        CHECK(b.U32(64) == 6);
        CHECK(b.Same(68, L"abc", 8));  // three characters and the terminator
    }
}

TEST_CASE("plain streams: two VT_I4 are 92 bytes with values at 44 and 68")
{
    Items items({Int(-5), Int(0x12345678)});
    UniqueHGlobal block;
    REQUIRE(twopc::io::BuildDataStream(false, 3, 0, items.View(), block) == S_OK);
    Bytes b(block);
    CheckGroupHeader(b, 92, 2, 3, 0);
    CHECK(b.U32(20) == 0x1000);
    CHECK(b.U32(24) == 44);
    CHECK(b.U16(28) == OPC_QUALITY_GOOD);
    CHECK(b.U16(30) == 0);
    CHECK(b.U32(32) == 0x1001);
    CHECK(b.U32(36) == 68);
    CHECK(b.U16(40) == OPC_QUALITY_BAD);
    CHECK(b.U16(42) == 0);
    CHECK(b.Same(44, &items.values[0], 24));
    CHECK(b.U32(52) == static_cast<DWORD>(-5));
    CHECK(b.Same(68, &items.values[1], 24));
    CHECK(b.U32(76) == 0x12345678u);
}

TEST_CASE("string records are sized by their own length: \"\", \"xy\" and a null BSTR")
{
    Items items({Text(L""), Text(L"xy"), Text(nullptr), Double(1.0)});
    UniqueHGlobal block;
    REQUIRE(twopc::io::BuildDataStream(false, 0, 0, items.View(), block) == S_OK);
    Bytes b(block);
    const DWORD first = 20 + 4 * 12;
    const DWORD second = first + 24 + 4 + 2;
    const DWORD third = second + 24 + 4 + 6;
    const DWORD fourth = third + 24 + 4 + 2;  // null stands for "": length 0, terminator sent
    CheckGroupHeader(b, fourth + 24, 4, 0, 0);
    CHECK(b.U32(24) == first);
    CHECK(b.U32(36) == second);
    CHECK(b.U32(48) == third);
    CHECK(b.U32(60) == fourth);
    CHECK(b.U32(first + 24) == 0);
    CHECK(b.U16(first + 28) == 0);
    CHECK(b.U32(second + 24) == 4);
    CHECK(b.Same(second + 28, L"xy", 6));
    CHECK(b.U32(third + 24) == 0);
    CHECK(b.U16(third + 28) == 0);
    CHECK(b.U16(fourth) == VT_R8);
}

TEST_CASE("other types carry their 24 bytes only, and an empty stream is its header")
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
    VARIANT v{};
    v.vt = VT_ARRAY | VT_I4;
    v.parray = array;
    VARIANT byRef{};
    BSTR referenced = SysAllocString(L"not followed");
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &referenced;
    Items items({v, Int(1)});
    items.values.push_back(byRef);
    items.handles.push_back(9);
    items.qualities.push_back(0);
    items.times.push_back(FILETIME{});
    UniqueHGlobal block;
    REQUIRE(twopc::io::BuildDataStream(true, 0, 0, items.View(), block) == S_OK);
    Bytes b(block);
    CheckGroupHeader(b, 20 + 3 * 20 + 3 * 24, 3, 0, 0);
    CHECK(b.U32(44) == 80 + 24);
    CHECK(b.U32(64) == 80 + 24 + 24);
    items.values.pop_back();  // VariantClear would free the string through the reference
    SysFreeString(referenced);

    StreamItems none;
    REQUIRE(twopc::io::BuildDataStream(true, 5, 6, none, block) == S_OK);
    CheckGroupHeader(Bytes(block), 20, 0, 5, 6);
}

TEST_CASE("write-complete streams: 16 + 8n bytes, no size field")
{
    const OPCHANDLE handles[] = {21, 22, 23};
    const HRESULT errors[] = {S_OK, OPC_E_BADRIGHTS, OPC_E_INVALIDHANDLE};
    UniqueHGlobal block;
    REQUIRE(twopc::io::BuildWriteCompleteStream(0xAB, 0xCD, 3, handles, errors, block) == S_OK);
    Bytes b(block);
    REQUIRE(b.data.size() >= 40);
    CHECK(b.U32(0) == 3);
    CHECK(b.U32(4) == 0xAB);
    CHECK(b.U32(8) == 0xCD);
    CHECK(b.U32(12) == 0);
    for (DWORD i = 0; i < 3; ++i) {
        CHECK(b.U32(16 + 8 * i) == handles[i]);
        CHECK(b.U32(20 + 8 * i) == static_cast<DWORD>(errors[i]));
    }
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
