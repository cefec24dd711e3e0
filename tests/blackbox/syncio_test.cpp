// IOPCSyncIO through COM, against the simulated network.

#include "FakeDataCallback.h"

#include "sim/simctl.h"

#include <chrono>
#include <thread>

using namespace twopc::test;

namespace {

struct Fixture : ServerWithGroup {
    Ref<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get());
    explicit Fixture(std::initializer_list<OPCITEMDEF> items, BOOL active = TRUE) : ServerWithGroup(items, active) {}
};

}  // namespace

TEST_CASE("Read: cache reads of an inactive group are out of service, device reads are not")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant")}, FALSE);
    ReadResults cache(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)});
    REQUIRE(cache.result == S_OK);
    CHECK(cache.states[0].wQuality == OPC_QUALITY_OUT_OF_SERVICE);
    CHECK(Ticks(cache.states[0].ftTimeStamp) == 0);  // nothing was reported before
    CHECK(cache.states[0].vDataValue.dblVal == 42.0);

    ReadResults device(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0)});
    REQUIRE(device.result == S_OK);
    CHECK(device.states[0].wQuality == OPC_QUALITY_GOOD);
    std::uint64_t stamp = Ticks(device.states[0].ftTimeStamp);
    CHECK(stamp != 0);

    ReadResults again(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)});
    CHECK(again.states[0].wQuality == OPC_QUALITY_OUT_OF_SERVICE);
    CHECK(Ticks(again.states[0].ftTimeStamp) == stamp);  // the one last reported
}

TEST_CASE("Read converts to the requested type; unreadable points are refused")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant", 1, VT_BSTR), ItemDef(L"\\\\.\\proc1\\Constant", 2),
               ItemDef(L"\\\\.\\proc1\\WriteOnly", 3)});
    ReadResults read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0), f.Handle(1), f.Handle(2)});
    CHECK(read.result == S_FALSE);
    REQUIRE(read.states[0].vDataValue.vt == VT_BSTR);
    CHECK(Narrow(read.states[0].vDataValue.bstrVal) == "42");
    CHECK(read.states[1].vDataValue.vt == VT_R8);
    CHECK(read.errors[2] == OPC_E_BADRIGHTS);
    CHECK(read.states[2].hClient == 0);
}

TEST_CASE("Write: conversion failures, rights, and the written value coming back")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Constant", 2),
               ItemDef(L"\\\\.\\proc1\\Label", 3), ItemDef(L"\\\\.\\proc1\\Running", 4)});
    OPCHANDLE handles[] = {f.Handle(0), f.Handle(1), 0xFFFFFFF0};
    VARIANT values[] = {VariantOf(VT_BSTR), DoubleVariant(1.0), VariantOf(VT_EMPTY)};
    values[0].bstrVal = SysAllocString(L"abc");
    Errors errors;
    REQUIRE(f.io->Write(3, handles, values, errors.Put()) == S_FALSE);
    CHECK(errors[0] == DISP_E_TYPEMISMATCH);
    CHECK(errors[1] == OPC_E_BADRIGHTS);
    CHECK(errors[2] == OPC_E_INVALIDHANDLE);
    VariantClear(&values[0]);

    OPCHANDLE writable[] = {f.Handle(0), f.Handle(2), f.Handle(3)};
    VARIANT written[] = {VariantOf(VT_I4, 17), VariantOf(VT_BSTR), VariantOf(VT_BOOL, VARIANT_FALSE)};
    written[1].bstrVal = SysAllocString(L"stopped");
    REQUIRE(f.io->Write(3, writable, written, errors.Put()) == S_OK);
    VariantClear(&written[1]);

    ReadResults read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0), f.Handle(2), f.Handle(3)});
    REQUIRE(read.result == S_OK);
    CHECK(read.states[0].vDataValue.vt == VT_R8);
    CHECK(read.states[0].vDataValue.dblVal == 17.0);
    CHECK(Narrow(read.states[1].vDataValue.bstrVal) == "stopped");
    CHECK(read.states[2].vDataValue.boolVal == VARIANT_FALSE);
}

TEST_CASE("Read of a point whose first value arrives during the wait gives that value")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Silent")});
    std::thread device([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        SetPoint(L"proc1\\Silent", 7.5);
    });
    ReadResults read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0)});
    device.join();
    SimReset();
    CHECK(read.result == S_OK);
    CHECK(read.errors[0] == S_OK);
    CHECK(read.states[0].vDataValue.dblVal == 7.5);
}
