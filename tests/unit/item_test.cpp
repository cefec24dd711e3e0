// The item record: what the realtime link's callbacks leave in it. Initialisation (handles,
// the requested-type rule) is checked through COM in items_test.

#include <doctest.h>

#include "ComTest.h"

#include "orv/com/ComObject.h"
#include "sim/simctl.h"
#include "twopc/group/OPCGroup.h"
#include "twopc/group/OPCItem.h"
#include "twopc/link/LinkLibraries.h"

#include <string>

using twopc::group::COPCGroup;
using twopc::group::COPCItem;
using namespace twopc::link;
using twopc::test::Ticks;

namespace {

class NoSchedule final : public twopc::group::IUpdateSchedule {
public:
    void Insert(twopc::io::IScheduledGroup*, std::int64_t) override {}
    bool Remove(twopc::io::IScheduledGroup*) override { return true; }
    bool Retime(twopc::io::IScheduledGroup*, std::int64_t) override { return true; }
};

class NoOwner final : public twopc::group::CGroupOwner {
public:
    HRESULT RenameGroup(COPCGroup*, const std::wstring&, const std::wstring&) override { return S_OK; }
    std::wstring GenerateGroupName() override { return L"g"; }
    IOPCServer* Server() override { return nullptr; }
    void NoteDataDelivered() override {}
};

// One item on the memory point \\.\mem\x, in a group whose owner and schedule do nothing.
struct Fixture {
    NoOwner owner;
    NoSchedule schedule;
    orv::com::ComPtr<COPCGroup> group =
        orv::com::MakeComObject<COPCGroup>(std::make_shared<twopc::group::CGroupOwnerLink>(&owner), &schedule);
    COPCItem item{group.Get()};

    Fixture()
    {
        OPCITEMDEF definition{};
        definition.szItemID = const_cast<LPWSTR>(L"\\\\.\\mem\\x");
        definition.hClient = 11;
        OPCITEMRESULT result;
        REQUIRE(item.Initialise(definition, result) == S_OK);
    }
};

KelvaneValue Value(std::uint32_t type, std::uint64_t bits = 0)
{
    KelvaneValue value{};
    value.type = type;
    value.payload.bits = bits;
    return value;
}

std::uint64_t Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

}  // namespace

TEST_CASE("value arrivals: quality from the status, the value as a VARIANT, the timestamp")
{
    Fixture f;
    COPCItem& item = f.item;
    CHECK(item.CurrentState().quality == OPC_QUALITY_GOOD);
    CHECK_FALSE(item.CurrentState().valueArrived);

    KelvaneValue value = Value(kvDouble);
    value.payload.real = 2.5;
    item.ApplyArrival(kfValue | kfStatus | kfTimestamp, &value, 3, 0x01D0000000000000ull);
    auto state = item.CurrentState();
    CHECK(state.quality == OPC_QUALITY_BAD);
    CHECK(state.valueArrived);
    CHECK(Ticks(state.timestamp) == 0x01D0000000000000ull);
    orv::com::UniqueVariant current;
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_R8);
    CHECK(current->dblVal == 2.5);

    // Without the status bit the quality stays; without a timestamp the arrival time counts.
    std::uint64_t before = Now();
    value = Value(kvBool, 1);
    item.ApplyArrival(kfValue, &value, 0, 0);
    state = item.CurrentState();
    CHECK(state.quality == OPC_QUALITY_BAD);
    CHECK(Ticks(state.timestamp) >= before);
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_BOOL);
    CHECK(current->boolVal == VARIANT_TRUE);

    item.ApplyArrival(kfStatus, nullptr, 0, 0);
    CHECK(item.CurrentState().quality == OPC_QUALITY_GOOD);

    // A type the server does not take leaves the value empty and the failure as the read result.
    value = Value(kvUInt64, 7);
    item.ApplyArrival(kfValue | kfStatus, &value, 0, 0);
    state = item.CurrentState();
    CHECK(state.lastReadResult == E_FAIL);
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_EMPTY);
}

TEST_CASE("point information and point status drive the type, the rights and the arrival event")
{
    Fixture f;
    COPCItem& item = f.item;

    KelvanePointInfo info{};
    info.mask = 0x2 | 0x4;
    info.type = kvWideText;
    info.access = 0x1;
    item.ApplyPointInfo(info);
    auto state = item.CurrentState();
    CHECK(state.canonicalType == VT_BSTR);
    CHECK(state.accessRights == OPC_READABLE);
    CHECK_FALSE(state.valueArrived);

    // A write-only point never delivers a value: nobody may wait for one.
    info.mask = 0x4;
    info.access = 0x2;
    item.ApplyPointInfo(info);
    state = item.CurrentState();
    CHECK(state.accessRights == OPC_WRITEABLE);
    CHECK(state.canonicalType == VT_BSTR);
    CHECK(state.valueArrived);

    item.ApplyPointStatus(4);
    CHECK(item.CurrentState().valueArrived);
    item.ApplyPointStatus(5);
    CHECK_FALSE(item.CurrentState().valueArrived);
    KelvaneValue value = Value(kvDouble);
    item.ApplyArrival(kfValue, &value, 0, 0);
    CHECK(item.CurrentState().valueArrived);
    item.ApplyPointStatus(15);
    CHECK_FALSE(item.CurrentState().valueArrived);
}
