// IOPCSyncIO through COM, against the simulated network.

#include "ComTest.h"

#include "sim/simctl.h"

#include <chrono>

using namespace twopc::test;

namespace {

// The states and errors of one Read, freed with the object.
struct ReadResults {
    HRESULT result = E_UNEXPECTED;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    DWORD count = 0;
    ReadResults() = default;
    ReadResults(const ReadResults&) = delete;
    ReadResults& operator=(const ReadResults&) = delete;
    ~ReadResults()
    {
        for (DWORD i = 0; states && i < count; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
};

void Read(IOPCSyncIO* io, OPCDATASOURCE source, std::vector<OPCHANDLE> handles, ReadResults& out)
{
    out.count = static_cast<DWORD>(handles.size());
    out.result = io->Read(source, out.count, handles.data(), &out.states, &out.errors);
}

struct Fixture {
    ServerWithGroup s;
    Ref<IOPCSyncIO> io;
    ItemResults added;

    Fixture(std::initializer_list<OPCITEMDEF> items, BOOL active = TRUE) : s(active)
    {
        REQUIRE(s.group->QueryInterface(IID_IOPCSyncIO, io.PutVoid()) == S_OK);
        AddItems(s.items.Get(), items, added);
        REQUIRE(SUCCEEDED(added.result));
    }
    OPCHANDLE Handle(int i) const { return added.records[i].hServer; }
};

std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

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

    VARIANT value;
    VariantInit(&value);
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
    ReadResults read;
    Read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0), 0xFFFFFFF0, f.Handle(1)}, read);
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
    ReadResults cache;
    Read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)}, cache);
    REQUIRE(cache.result == S_OK);
    CHECK(cache.states[0].wQuality == OPC_QUALITY_OUT_OF_SERVICE);
    CHECK(Ticks(cache.states[0].ftTimeStamp) == 0);  // nothing was reported before
    CHECK(cache.states[0].vDataValue.dblVal == 42.0);

    ReadResults device;
    Read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0)}, device);
    REQUIRE(device.result == S_OK);
    CHECK(device.states[0].wQuality == OPC_QUALITY_GOOD);
    std::uint64_t stamp = Ticks(device.states[0].ftTimeStamp);
    CHECK(stamp != 0);

    ReadResults again;
    Read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)}, again);
    CHECK(again.states[0].wQuality == OPC_QUALITY_OUT_OF_SERVICE);
    CHECK(Ticks(again.states[0].ftTimeStamp) == stamp);  // the one last reported
}

TEST_CASE("Read converts to the requested type; unreadable points are refused")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant", 1, VT_BSTR), ItemDef(L"\\\\.\\proc1\\Constant", 2),
               ItemDef(L"\\\\.\\proc1\\WriteOnly", 3)});
    ReadResults read;
    Read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0), f.Handle(1), f.Handle(2)}, read);
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
    VARIANT values[3];
    for (auto& value : values) VariantInit(&value);
    values[0].vt = VT_BSTR;
    values[0].bstrVal = SysAllocString(L"abc");
    values[1].vt = VT_R8;
    values[1].dblVal = 1.0;
    HRESULT* errors = nullptr;
    REQUIRE(f.io->Write(3, handles, values, &errors) == S_FALSE);
    CHECK(errors[0] == DISP_E_TYPEMISMATCH);
    CHECK(errors[1] == OPC_E_BADRIGHTS);
    CHECK(errors[2] == OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    VariantClear(&values[0]);

    OPCHANDLE writable[] = {f.Handle(0), f.Handle(2), f.Handle(3)};
    VARIANT written[3];
    VariantInit(&written[0]);
    written[0].vt = VT_I4;
    written[0].lVal = 17;
    VariantInit(&written[1]);
    written[1].vt = VT_BSTR;
    written[1].bstrVal = SysAllocString(L"stopped");
    VariantInit(&written[2]);
    written[2].vt = VT_BOOL;
    written[2].boolVal = VARIANT_FALSE;
    REQUIRE(f.io->Write(3, writable, written, &errors) == S_OK);
    CoTaskMemFree(errors);
    VariantClear(&written[1]);

    ReadResults read;
    Read(f.io.Get(), OPC_DS_DEVICE, {f.Handle(0), f.Handle(2), f.Handle(3)}, read);
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
    ReadResults read;
    Read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)}, read);
    auto waited = std::chrono::steady_clock::now() - start;
    CHECK(read.result == S_FALSE);
    CHECK(read.errors[0] == OPC_E_UNKNOWNITEMID);
    CHECK(read.states[0].vDataValue.vt == VT_EMPTY);
    // Not a timing target: only that the read did wait rather than give up at once.
    CHECK(waited >= std::chrono::milliseconds(2500));
}

TEST_CASE("a removed group refuses reads and writes")
{
    Fixture f({ItemDef(L"\\\\.\\proc1\\Constant")});
    REQUIRE(f.s.server->RemoveGroup(f.s.groupHandle, FALSE) == OPC_S_INUSE);
    ReadResults read;
    Read(f.io.Get(), OPC_DS_CACHE, {f.Handle(0)}, read);
    CHECK(read.result == E_FAIL);
    CHECK(read.states == nullptr);
}
