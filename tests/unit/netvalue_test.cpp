// Network values against the simulator's text objects (twdynam), which count themselves,
// so that every reference the conversions take or drop shows up.

#include <doctest.h>

#include "ComTest.h"

#include <sim/kelvane.h>
#include <sim/simctl.h>

#include "orv/com/Owners.h"
#include "twopc/link/NetworkValue.h"

#include <string>
#include <utility>

using namespace twopc::link;
using twopc::test::RefCount;
using orv::com::UniqueVariant;

namespace {

KelvaneValue Raw(std::uint32_t type, std::uint64_t bits = 0)
{
    KelvaneValue value{};
    value.type = type;
    value.payload.bits = bits;
    return value;
}

KelvaneValue RawText(std::uint32_t type, IUnknown* object)
{
    KelvaneValue value = Raw(type);
    value.payload.object = object;
    return value;
}

std::wstring BstrText(const VARIANT& v)
{
    REQUIRE(V_VT(&v) == VT_BSTR);
    REQUIRE(V_BSTR(&v) != nullptr);
    return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
}

// Converts into a destination that holds a string, so that clearing it shows in the type.
HRESULT ToFilledVariant(const KelvaneValue& value, UniqueVariant& v)
{
    v.Clear();
    V_VT(v.Get()) = VT_BSTR;
    V_BSTR(v.Get()) = SysAllocString(L"previous");
    return ToVariant(value, v.Get());
}

}  // namespace

TEST_CASE("ToVariant: booleans, doubles, empty and null; unsupported types fail and leave VT_EMPTY")
{
    UniqueVariant v;
    CHECK(ToVariant(Raw(kvBool, 1), v.Get()) == S_OK);
    CHECK(V_VT(v.Get()) == VT_BOOL);
    CHECK(V_BOOL(v.Get()) == VARIANT_TRUE);
    CHECK(ToVariant(Raw(kvBool, 0), v.Get()) == S_OK);
    CHECK(V_BOOL(v.Get()) == VARIANT_FALSE);

    KelvaneValue real = Raw(kvDouble);
    real.payload.real = -2.75;
    CHECK(ToVariant(real, v.Get()) == S_OK);
    CHECK(V_VT(v.Get()) == VT_R8);
    CHECK(V_R8(v.Get()) == -2.75);

    for (std::uint32_t type : {kvEmpty, kvNull}) {
        CAPTURE(type);
        CHECK(ToFilledVariant(Raw(type), v) == S_OK);
        CHECK(V_VT(v.Get()) == VT_EMPTY);
    }
    for (std::uint32_t type : {std::uint32_t{kvUInt64}, 0x1007u, 0x1000u, 0xFFFFFFFFu}) {
        CAPTURE(type);
        CHECK(ToFilledVariant(Raw(type, 42), v) == E_FAIL);
        CHECK(V_VT(v.Get()) == VT_EMPTY);
    }
    // Without a destination only the verdict is wanted.
    CHECK(ToVariant(Raw(kvDouble), nullptr) == S_OK);
    CHECK(ToVariant(Raw(kvUInt64), nullptr) == E_FAIL);
}

TEST_CASE("ToVariant: text objects")
{
    const LONG liveAtStart = SimLiveTextObjects();
    UniqueVariant v;

    SUBCASE("narrow and wide text are copied, and the object keeps only its own reference")
    {
        IUnknown* narrow = NewAnsiGuts("pump 7");
        IUnknown* wide = NewUnicodeGuts(L"\u03A9 zone");
        REQUIRE(narrow);
        REQUIRE(wide);
        CHECK(ToVariant(RawText(kvNarrowText, narrow), v.Get()) == S_OK);
        CHECK(BstrText(*v.Get()) == L"pump 7");
        CHECK(ToVariant(RawText(kvWideText, wide), v.Get()) == S_OK);
        CHECK(BstrText(*v.Get()) == L"\u03A9 zone");
        CHECK(RefCount(narrow) == 1);
        CHECK(RefCount(wide) == 1);
        narrow->Release();
        wide->Release();
    }
    SUBCASE("a null object is the empty string, not VT_EMPTY")
    {
        for (std::uint32_t type : {kvNarrowText, kvWideText}) {
            CAPTURE(type);
            CHECK(ToVariant(RawText(type, nullptr), v.Get()) == S_OK);
            CHECK(BstrText(*v.Get()).empty());
        }
    }
    SUBCASE("an object without the text interface of its type code fails")
    {
        IUnknown* narrow = NewAnsiGuts("narrow only");
        REQUIRE(narrow);
        CHECK(ToFilledVariant(RawText(kvWideText, narrow), v) == E_FAIL);
        CHECK(V_VT(v.Get()) == VT_EMPTY);
        CHECK(RefCount(narrow) == 1);
        narrow->Release();
    }
    CHECK(SimLiveTextObjects() == liveAtStart);
}

TEST_CASE("FromVariant: each source type becomes its network type")
{
    const LONG liveAtStart = SimLiveTextObjects();
    {
        NetworkValue value;
        CHECK(value.Get()->type == kvNull);
        UniqueVariant source;
        auto from = [&](VARTYPE type, LONGLONG bits) {
            source.Clear();
            V_VT(source.Get()) = type;
            source.Get()->llVal = bits;
            return FromVariant(*source.Get(), value);
        };

        CHECK(from(VT_I4, 42) == S_OK);
        CHECK(value.Get()->type == kvDouble);
        CHECK(value.Get()->payload.real == 42.0);
        LONG referenced = -7;
        CHECK(from(VT_BYREF | VT_I4, reinterpret_cast<LONGLONG>(&referenced)) == S_OK);
        CHECK(value.Get()->type == kvDouble);
        CHECK(value.Get()->payload.real == -7.0);
        CHECK(from(VT_BOOL, VARIANT_TRUE) == S_OK);
        CHECK(value.Get()->type == kvBool);
        CHECK(value.Get()->payload.boolean == 1);
        CHECK(from(VT_BOOL, VARIANT_FALSE) == S_OK);
        CHECK(value.Get()->payload.boolean == 0);
        for (VARTYPE type : {VT_NULL, VT_EMPTY}) {
            CAPTURE(type);
            value.SetDouble(1.0);
            CHECK(from(type, 0) == S_OK);
            CHECK(value.Get()->type == kvNull);
        }

        CHECK(from(VT_BSTR, reinterpret_cast<LONGLONG>(SysAllocString(L"abc"))) == S_OK);
        CHECK(value.Get()->type == kvWideText);
        REQUIRE(value.Get()->payload.object != nullptr);
        CHECK(SimLiveTextObjects() == liveAtStart + 1);
        UniqueVariant readBack;
        CHECK(ToVariant(*value.Get(), readBack.Get()) == S_OK);
        CHECK(BstrText(*readBack.Get()) == L"abc");

        // Empty text needs no object; the one held before is released. A null BSTR is empty text.
        CHECK(from(VT_BSTR, reinterpret_cast<LONGLONG>(SysAllocString(L""))) == S_OK);
        CHECK(value.Get()->type == kvWideText);
        CHECK(value.Get()->payload.object == nullptr);
        CHECK(SimLiveTextObjects() == liveAtStart);
        value.SetDouble(1.0);
        CHECK(from(VT_BSTR, 0) == S_OK);
        CHECK(value.Get()->type == kvWideText);
        CHECK(value.Get()->payload.object == nullptr);
    }
    CHECK(SimLiveTextObjects() == liveAtStart);
}

TEST_CASE("FromVariant: a failed conversion leaves the value untouched")
{
    const LONG liveAtStart = SimLiveTextObjects();
    {
        NetworkValue value;
        IUnknown* held = NewUnicodeGuts(L"kept");
        REQUIRE(held);
        value.AdoptWideText(held);

        UniqueVariant source;
        V_VT(source.Get()) = VT_ARRAY | VT_I4;
        V_ARRAY(source.Get()) = SafeArrayCreateVector(VT_I4, 0, 2);
        REQUIRE(V_ARRAY(source.Get()));
        CHECK(FromVariant(*source.Get(), value) == DISP_E_TYPEMISMATCH);
        CHECK(value.Get()->type == kvWideText);
        CHECK(value.Get()->payload.object == held);
        CHECK(RefCount(held) == 1);

        // Not a valid VARIANT type at all: the copy already refuses it.
        VARIANT invalid;
        VariantInit(&invalid);
        V_VT(&invalid) = VT_VECTOR | VT_I4;
        CHECK(FromVariant(invalid, value) == DISP_E_BADVARTYPE);
        CHECK(value.Get()->payload.object == held);
        CHECK(SimLiveTextObjects() == liveAtStart + 1);
    }
    CHECK(SimLiveTextObjects() == liveAtStart);
}

TEST_CASE("NetworkValue releases a text object whenever it is overwritten or dropped")
{
    const LONG liveAtStart = SimLiveTextObjects();
    auto fillWithText = [](NetworkValue& value) {
        KelvaneValue* raw = value.Put();
        CHECK(raw->type == kvNull);  // what the link expects of an out value
        raw->type = kvNarrowText;
        raw->payload.object = NewAnsiGuts("x");
        REQUIRE(raw->payload.object);
    };

    NetworkValue value;
    fillWithText(value);
    CHECK(SimLiveTextObjects() == liveAtStart + 1);
    value.SetDouble(3.0);
    CHECK(SimLiveTextObjects() == liveAtStart);

    fillWithText(value);
    fillWithText(value);  // Put drops the previous object
    CHECK(SimLiveTextObjects() == liveAtStart + 1);

    NetworkValue moved(std::move(value));
    CHECK(value.Get()->type == kvNull);
    CHECK(moved.Get()->type == kvNarrowText);
    CHECK(SimLiveTextObjects() == liveAtStart + 1);

    NetworkValue other;
    fillWithText(other);
    moved = std::move(other);  // the target's own object goes
    CHECK(SimLiveTextObjects() == liveAtStart + 1);
    {
        NetworkValue scoped(std::move(moved));
    }
    CHECK(SimLiveTextObjects() == liveAtStart);
}
