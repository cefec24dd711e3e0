// Faulty clients and a faulty network: each case ends as documented, without a crash or
// a hang.

#include "FakeDataCallback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <limits>
#include <stdexcept>
#include <thread>

using namespace twopc::test;

namespace {

struct Watched : ServerWithGroup {
    FakeDataCallback sink;
    Ref<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get());

    Watched(std::initializer_list<OPCITEMDEF> items, DWORD rate = 20) : ServerWithGroup(items, FALSE, rate)
    {
        REQUIRE(SimWaitForDeliveries(5000));
    }
    ~Watched() { server.Reset(); }
    void Advise() { AdviseDataCallback(group.Get(), &sink); }
    void SetActive(BOOL active) { twopc::test::SetActive(group.Get(), active); }
    // One device read: the item's error; its value (a number, or empty) and quality.
    HRESULT Read(int item, VARIANT& value, WORD* quality = nullptr)
    {
        ReadResults read(io.Get(), OPC_DS_DEVICE, {Handle(item)});
        REQUIRE(SUCCEEDED(read.result));
        value = read.states[0].vDataValue;
        if (quality) *quality = read.states[0].wQuality;
        return read.errors[0];
    }
    HRESULT Write(int item, const VARIANT& value)
    {
        VARIANT copy = value;
        Errors errors;
        HRESULT hr = io->Write(1, &added.records[item].hServer, &copy, errors.Put());
        return SUCCEEDED(hr) ? errors[0] : hr;
    }
};

}  // namespace

TEST_CASE("a sink may read, write, change state and remove another group from inside OnDataChange")
{
    Watched w({ItemDef(L"\\\\.\\proc1\\Setpoint", 1)});
    Ref<IOPCGroupStateMgt> other;
    AddedGroup second = AddGroup(w.server.Get(), L"Other", other);
    REQUIRE(second.result == S_OK);
    std::atomic<int> done{0};
    w.sink.onDataChange = [&] {
        if (done.exchange(1) != 0) return;
        VARIANT value;
        w.Read(0, value);
        w.Write(0, DoubleVariant(3.0));
        DWORD rate = 500, revised;
        w.group->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
        w.server->RemoveGroup(second.handle, TRUE);
        done = 2;
    };
    w.Advise();
    w.SetActive(TRUE);
    REQUIRE(w.sink.WaitForCalls(1));
    CHECK(WaitFor([&] { return done == 2; }, 1000));
    CHECK(other->SetName(L"x") == E_FAIL);
}

TEST_CASE("the network's faults: failed current reads, unsupported values, stale points")
{
    Watched w({ItemDef(L"\\\\.\\mem\\faults", 1), ItemDef(L"\\\\.\\proc1\\Constant", 2)});
    SetPoint(L"mem\\faults", 5.0);
    REQUIRE(SimWaitForDeliveries(5000));

    // A failing ReadCurrent falls back on the value that arrived by subscription.
    REQUIRE(SimFailReadCurrent(L"mem\\faults", E_UNEXPECTED) == S_OK);
    VARIANT value;
    CHECK(w.Read(0, value) == S_OK);
    CHECK(value.dblVal == 5.0);
    REQUIRE(SimFailReadCurrent(L"mem\\faults", 0) == S_OK);

    // A value of a type the server does not take leaves the item without a value; a read
    // that has only that to go on hands out an empty value.
    REQUIRE(SimSendRawValue(L"proc1\\Constant", 4, 7) == S_OK);
    REQUIRE(SimWaitForDeliveries(5000));
    REQUIRE(SimFailReadCurrent(L"proc1\\Constant", E_UNEXPECTED) == S_OK);
    WORD quality = 0xFFFF;
    CHECK(w.Read(1, value, &quality) == S_OK);
    CHECK(value.vt == VT_EMPTY);
    CHECK(quality == OPC_QUALITY_GOOD);
    REQUIRE(SimFailReadCurrent(L"proc1\\Constant", 0) == S_OK);
    CHECK(w.Read(1, value) == S_OK);  // the next good value heals it
    CHECK(value.dblVal == 42.0);

    // Status codes 5 and 15 mark the value stale; a fresh read still gets the point's value.
    REQUIRE(SimSendPointStatus(L"mem\\faults", 5) == S_OK);
    REQUIRE(SimWaitForDeliveries(5000));
    CHECK(w.Read(0, value) == S_OK);
    CHECK(value.dblVal == 5.0);
}

TEST_CASE("writes of every kind of VARIANT get a clear answer and change nothing they should not")
{
    Watched w({ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Label", 2)});
    for (double number : {1.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 1.5}) {
        CHECK(w.Write(0, DoubleVariant(number)) == S_OK);
    }

    // Types that do not convert to a double fail with the conversion's own code.
    LONG element = 4;
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
    LONG index = 0;
    SafeArrayPutElement(array, &index, &element);
    VARIANT arrayValue = VariantOf(VT_ARRAY | VT_I4);
    arrayValue.parray = array;
    CHECK(FAILED(w.Write(0, arrayValue)));
    VariantClear(&arrayValue);

    LONG referenced = 9;
    VARIANT byReference = VariantOf(VT_BYREF | VT_I4);
    byReference.plVal = &referenced;
    CHECK(w.Write(0, byReference) == S_OK);  // a reference to a number is a number

    for (int type = VT_EMPTY; type <= VT_CLSID; ++type) {
        if (type == VT_BSTR || type == VT_DISPATCH || type == VT_UNKNOWN || type == VT_VARIANT ||
            type == VT_RECORD || (type > VT_UI8 && type < VT_INT) || type > VT_UINT)
            continue;  // no plain payload to fill in
        CAPTURE(type);
        CHECK(w.Write(0, VariantOf(static_cast<VARTYPE>(type))) != E_UNEXPECTED);
    }

    VARIANT read;
    REQUIRE(w.Read(0, read) == S_OK);
    CHECK(read.vt == VT_R8);
    CHECK(read.dblVal == 0.0);  // the last write of the sweep: a zero
}
