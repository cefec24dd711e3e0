// Network values against the simulator's text objects (twdynam), which count themselves,
// so that every reference the conversions take or drop shows up.

#include <doctest.h>

#include <sim/kelvane.h>
#include <sim/simctl.h>

#include "orv/com/Owners.h"
#include "twopc/link/NetworkValue.h"

#include <string>
#include <utility>

using namespace twopc::link;
using orv::com::UniqueVariant;

namespace {

KelvaneValue Raw(std::uint32_t type)
{
    KelvaneValue value{};
    value.type = type;
    return value;
}

KelvaneValue RawText(std::uint32_t type, IUnknown* object)
{
    KelvaneValue value = Raw(type);
    value.payload.object = object;
    return value;
}

// Reads an object's reference count through an AddRef/Release pair.
ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

std::wstring BstrText(const VARIANT& v)
{
    REQUIRE(V_VT(&v) == VT_BSTR);
    REQUIRE(V_BSTR(&v) != nullptr);
    return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
}

// A destination that holds a string, so that clearing it is observable through the type.
void FillWithText(UniqueVariant& v)
{
    v.Clear();
    V_VT(v.Get()) = VT_BSTR;
    V_BSTR(v.Get()) = SysAllocString(L"previous");
}

}  // namespace

TEST_CASE("ToVariant: scalar network values")
{
    UniqueVariant v;
    KelvaneValue value = Raw(kvBool);

    value.payload.boolean = 1;
    CHECK(ToVariant(value, v.Get()) == S_OK);
    CHECK(V_VT(v.Get()) == VT_BOOL);
    CHECK(V_BOOL(v.Get()) == VARIANT_TRUE);

    value.payload.boolean = 0;
    CHECK(ToVariant(value, v.Get()) == S_OK);
    CHECK(V_VT(v.Get()) == VT_BOOL);
    CHECK(V_BOOL(v.Get()) == VARIANT_FALSE);

    value = Raw(kvDouble);
    value.payload.real = -2.75;
    CHECK(ToVariant(value, v.Get()) == S_OK);
    CHECK(V_VT(v.Get()) == VT_R8);
    CHECK(V_R8(v.Get()) == -2.75);

    for (std::uint32_t type : {kvEmpty, kvNull}) {
        CAPTURE(type);
        FillWithText(v);
        CHECK(ToVariant(Raw(type), v.Get()) == S_OK);
        CHECK(V_VT(v.Get()) == VT_EMPTY);
    }

    // Without a destination only the verdict is wanted.
    CHECK(ToVariant(Raw(kvDouble), nullptr) == S_OK);
    CHECK(ToVariant(Raw(kvUInt64), nullptr) == E_FAIL);
}

TEST_CASE("ToVariant: unsupported types fail and leave the destination empty")
{
    UniqueVariant v;
    for (std::uint32_t type : {std::uint32_t{kvUInt64}, 0x1007u, 0x1000u, 0xFFFFFFFFu}) {
        CAPTURE(type);
        FillWithText(v);
        KelvaneValue value = Raw(type);
        value.payload.bits = 42;
        CHECK(ToVariant(value, v.Get()) == E_FAIL);
        CHECK(V_VT(v.Get()) == VT_EMPTY);
    }
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
        FillWithText(v);
        CHECK(ToVariant(RawText(kvWideText, narrow), v.Get()) == E_FAIL);
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

        V_VT(source.Get()) = VT_I4;
        V_I4(source.Get()) = 42;
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvDouble);
        CHECK(value.Get()->payload.real == 42.0);

        LONG referenced = -7;
        V_VT(source.Get()) = VT_BYREF | VT_I4;
        V_I4REF(source.Get()) = &referenced;
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvDouble);
        CHECK(value.Get()->payload.real == -7.0);

        V_VT(source.Get()) = VT_BOOL;
        V_BOOL(source.Get()) = VARIANT_TRUE;
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvBool);
        CHECK(value.Get()->payload.boolean == 1);

        V_BOOL(source.Get()) = VARIANT_FALSE;
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvBool);
        CHECK(value.Get()->payload.boolean == 0);

        for (VARTYPE type : {VT_NULL, VT_EMPTY}) {
            CAPTURE(type);
            value.SetDouble(1.0);
            V_VT(source.Get()) = type;
            CHECK(FromVariant(*source.Get(), value) == S_OK);
            CHECK(value.Get()->type == kvNull);
        }

        V_VT(source.Get()) = VT_BSTR;
        V_BSTR(source.Get()) = SysAllocString(L"abc");
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvWideText);
        REQUIRE(value.Get()->payload.object != nullptr);
        CHECK(SimLiveTextObjects() == liveAtStart + 1);
        UniqueVariant readBack;
        CHECK(ToVariant(*value.Get(), readBack.Get()) == S_OK);
        CHECK(BstrText(*readBack.Get()) == L"abc");

        // Empty text needs no object; the one held before is released.
        source.Clear();
        V_VT(source.Get()) = VT_BSTR;
        V_BSTR(source.Get()) = SysAllocString(L"");
        CHECK(FromVariant(*source.Get(), value) == S_OK);
        CHECK(value.Get()->type == kvWideText);
        CHECK(value.Get()->payload.object == nullptr);
        CHECK(SimLiveTextObjects() == liveAtStart);

        source.Clear();
        V_VT(source.Get()) = VT_BSTR;
        V_BSTR(source.Get()) = nullptr;
        value.SetDouble(1.0);
        CHECK(FromVariant(*source.Get(), value) == S_OK);
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

        SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 2);
        REQUIRE(array);
        UniqueVariant source;
        V_VT(source.Get()) = VT_ARRAY | VT_I4;
        V_ARRAY(source.Get()) = array;
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

TEST_CASE("canonical and network types")
{
    CHECK(CanonicalOf(kvNull) == VT_NULL);
    CHECK(CanonicalOf(kvBool) == VT_BOOL);
    CHECK(CanonicalOf(kvDouble) == VT_R8);
    CHECK(CanonicalOf(kvNarrowText) == VT_BSTR);
    CHECK(CanonicalOf(kvWideText) == VT_BSTR);
    CHECK(CanonicalOf(kvEmpty) == VT_EMPTY);
    CHECK(CanonicalOf(kvUInt64) == VT_EMPTY);
    CHECK(CanonicalOf(0x2006) == VT_EMPTY);

    for (VARTYPE numeric : {VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_DECIMAL, VT_UI1}) {
        CAPTURE(numeric);
        CHECK(NetworkTypeOf(numeric) == kvDouble);
    }
    CHECK(NetworkTypeOf(VT_NULL) == kvNull);
    CHECK(NetworkTypeOf(VT_BSTR) == kvWideText);
    CHECK(NetworkTypeOf(VT_BOOL) == kvBool);
    CHECK(NetworkTypeOf(VT_BYREF | VT_I4) == kvDouble);
    CHECK(NetworkTypeOf(VT_ARRAY | VT_BSTR) == kvWideText);
    for (VARTYPE other : {VT_EMPTY, VT_I1, VT_UI2, VT_UI4, VT_I8, VT_INT, VT_ERROR, VT_VARIANT, VT_DISPATCH}) {
        CAPTURE(other);
        CHECK(NetworkTypeOf(other) == kvEmpty);
    }
}
