// The data-change rule for each VARTYPE.

#include <doctest.h>

#include "orv/com/Owners.h"
#include "twopc/io/ChangeRule.h"

#include <limits>

using orv::com::UniqueVariant;
using twopc::io::SameForDataChange;

namespace {

struct Pair {
    UniqueVariant a;
    UniqueVariant b;
    Pair(VARTYPE type)
    {
        a->vt = type;
        b->vt = type;
    }
    bool Same() const { return SameForDataChange(*a.Get(), *b.Get()); }
};

}  // namespace

TEST_CASE("numbers, booleans and errors compare by value; NaN, dates, currency and wider types always differ")
{
    Pair doubles(VT_R8);
    doubles.a->dblVal = doubles.b->dblVal = 1.5;
    CHECK(doubles.Same());
    doubles.b->dblVal = std::numeric_limits<double>::quiet_NaN();
    CHECK_FALSE(doubles.Same());
    doubles.a->dblVal = std::numeric_limits<double>::quiet_NaN();
    CHECK_FALSE(doubles.Same());

    Pair floats(VT_R4);
    floats.a->fltVal = floats.b->fltVal = std::numeric_limits<float>::quiet_NaN();
    CHECK_FALSE(floats.Same());

    Pair booleans(VT_BOOL);
    booleans.a->boolVal = booleans.b->boolVal = VARIANT_TRUE;
    CHECK(booleans.Same());
    booleans.b->boolVal = VARIANT_FALSE;
    CHECK_FALSE(booleans.Same());

    Pair errors(VT_ERROR);
    errors.a->scode = errors.b->scode = E_FAIL;
    CHECK(errors.Same());

    Pair empties(VT_EMPTY);
    CHECK(empties.Same());
    Pair mixed(VT_I4);
    mixed.b->vt = VT_R8;
    CHECK_FALSE(mixed.Same());

    // Dates, currency and wider types always count as a change.
    for (int type : std::initializer_list<int>{VT_DATE, VT_CY, VT_DECIMAL, VT_I8, VT_UI8, VT_ARRAY | VT_R8}) {
        CAPTURE(type);
        CHECK_FALSE(Pair(static_cast<VARTYPE>(type)).Same());
    }
}

TEST_CASE("strings compare by their bytes, interfaces by pointer")
{
    Pair texts(VT_BSTR);
    texts.a->bstrVal = SysAllocString(L"pump");
    auto sameAs = [&](BSTR other) {
        SysFreeString(texts.b->bstrVal);
        texts.b->bstrVal = other;
        return texts.Same();
    };
    CHECK(sameAs(SysAllocString(L"pump")));
    CHECK_FALSE(sameAs(SysAllocString(L"Pump")));
    CHECK_FALSE(sameAs(SysAllocStringLen(L"pump\0", 5)));

    Pair empty(VT_BSTR);
    empty.b->bstrVal = SysAllocString(L"");
    CHECK(empty.Same());  // a null string and an empty one have the same zero bytes
}
