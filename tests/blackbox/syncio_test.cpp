// IOPCSyncIO through COM, against the simulated network.

#include "ComTest.h"

#include "sim/simctl.h"

#include <chrono>

using namespace twopc::test;

namespace {

struct Fixture : ServerWithGroup {
    Ref<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get());
    explicit Fixture(std::initializer_list<OPCITEMDEF> items, BOOL active = TRUE) : ServerWithGroup(items, active) {}
};

}  // namespace

TEST_CASE("Read and Write refuse bad arguments and leave the outputs null")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant")});
    OPCHANDLE handle = f.Handle(0);
    OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    for (DWORD source : {0u, 3u}) {
        CHECK(f.io->Read(static_cast<OPCDATASOURCE>(source), 1, &handle, &states, &errors) == E_INVALIDARG);
        CHECK(states == nullptr);
        CHECK(errors == nullptr);
    }
    CHECK(f.io->Read(OPC_DS_CACHE, 0, &handle, &states, &errors) == E_INVALIDARG);
    CHECK(f.io->Read(OPC_DS_CACHE, 1, nullptr, &states, &errors) == E_INVALIDARG);
    CHECK(f.io->Read(OPC_DS_CACHE, 1, &handle, nullptr, &errors) == E_INVALIDARG);
    CHECK(f.io->Read(OPC_DS_CACHE, 1, &handle, &states, nullptr) == E_INVALIDARG);

    VARIANT value = VariantOf(VT_EMPTY);
    errors = reinterpret_cast<HRESULT*>(1);
    CHECK(f.io->Write(1, &handle, &value, nullptr) == E_INVALIDARG);
    CHECK(f.io->Write(0, &handle, &value, &errors) == E_INVALIDARG);
    CHECK(errors == nullptr);
    CHECK(f.io->Write(1, nullptr, &value, &errors) == E_INVALIDARG);
    CHECK(f.io->Write(1, &handle, nullptr, &errors) == E_INVALIDARG);
}

TEST_CASE("Read: an invalid handle among valid ones fails alone")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant", 10), ItemDef(L"\\\\.\\proc1\\Faulty", 20)});
    ReadResults read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0), 0xFFFFFFF0, f.Handle(1)});
    CHECK(read.result == S_FALSE);
    CHECK(read.errors[0] == S_OK);
    CHECK(read.states[0].hClient == 10);
    CHECK(read.states[0].vDataValue.vt == VT_R8);
    CHECK(read.states[0].vDataValue.dblVal == 42.0);
    CHECK(read.states[0].wQuality == OPC_QUALITY_GOOD);
    CHECK(Ticks(read.states[0].ftTimeStamp) != 0);
    CHECK(read.errors[1] == OPC_E_INVALIDHANDLE);
    CHECK(read.states[1].vDataValue.vt == VT_EMPTY);
    // A bad status is a bad quality, not a failed read.
    CHECK(read.errors[2] == S_OK);
    CHECK(read.states[2].hClient == 20);
    CHECK(read.states[2].wQuality == OPC_QUALITY_BAD);
    CHECK(read.states[2].vDataValue.dblVal == 0.0);
}

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

TEST_CASE("Read of a point that never delivers a value fails after the wait")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Silent")});
    auto start = std::chrono::steady_clock::now();
    ReadResults read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)});
    auto waited = std::chrono::steady_clock::now() - start;
    CHECK(read.result == S_FALSE);
    CHECK(read.errors[0] == OPC_E_UNKNOWNITEMID);
    CHECK(read.states[0].vDataValue.vt == VT_EMPTY);
    // Not a timing target: only that the read did wait rather than give up at once.
    CHECK(waited >= std::chrono::milliseconds(2500));
}
