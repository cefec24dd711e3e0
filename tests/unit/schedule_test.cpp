// The update schedule's order and its bookkeeping with groups, without the scan thread.
// That a removal waits for the group's pending uses is checked through COM in datachange_test
// and asyncio_test.

#include <doctest.h>

#include "ComTest.h"

#include "orv/com/ComObject.h"
#include "orv/com/Owners.h"
#include "twopc/group/OPCGroup.h"
#include "twopc/io/Schedule.h"

#include <vector>

using twopc::group::COPCGroup;
using twopc::io::CUpdateSchedule;
using twopc::io::IScheduledGroup;
using twopc::test::RefCount;

namespace {

constexpr std::int64_t kTicksPerMs = 10000;

IScheduledGroup* Fake(std::uintptr_t n)
{
    return reinterpret_cast<IScheduledGroup*>(n * 16);
}

bool Signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

struct Call {
    char kind;
    IScheduledGroup* group;
    std::int64_t value;
};

class RecordingSchedule final : public twopc::group::IUpdateSchedule {
public:
    void Insert(IScheduledGroup* group, std::int64_t due) override
    {
        calls.push_back({'I', group, due});
        present = true;
    }
    bool Remove(IScheduledGroup* group) override
    {
        calls.push_back({'R', group, 0});
        return std::exchange(present, false);
    }
    bool Retime(IScheduledGroup* group, std::int64_t deltaMs) override
    {
        calls.push_back({'T', group, deltaMs});
        return present;
    }
    std::vector<Call> calls;
    bool present = false;
};

class NamingOwner final : public twopc::group::CGroupOwner {
public:
    HRESULT RenameGroup(COPCGroup*, const std::wstring&, const std::wstring&) override { return S_OK; }
    std::wstring GenerateGroupName() override { return L"generated"; }
    IOPCServer* Server() override { return nullptr; }
    void NoteDataDelivered() override {}
};

}  // namespace

TEST_CASE("entries come out earliest first, within a tolerance, and wait otherwise")
{
    orv::com::UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CUpdateSchedule schedule(wake.Get(), kTicksPerMs);

    CHECK(schedule.PopDue(0, kTicksPerMs).waitMs == INFINITE);
    schedule.Insert(Fake(1), 500 * kTicksPerMs);
    CHECK(Signalled(wake.Get()));
    schedule.Insert(Fake(2), 100 * kTicksPerMs);
    schedule.Insert(Fake(3), 300 * kTicksPerMs);
    auto order = schedule.Snapshot();
    REQUIRE(order.size() == 3);
    CHECK(order[0].first == Fake(2));
    CHECK(order[1].first == Fake(3));
    CHECK(order[2].first == Fake(1));

    // Due 0.5 ms from now: within the 1 ms tolerance, so it is taken at once.
    auto due = schedule.PopDue(100 * kTicksPerMs - kTicksPerMs / 2, kTicksPerMs);
    CHECK(due.group == Fake(2));
    // Due in 5.9 ms: wait 5 ms first.
    due = schedule.PopDue(300 * kTicksPerMs - 59 * kTicksPerMs / 10, kTicksPerMs);
    CHECK(due.group == nullptr);
    CHECK(due.waitMs == 5);

    // Re-insertion by the thread does not wake it.
    Signalled(wake.Get());
    schedule.Reinsert(Fake(2), 1000 * kTicksPerMs);
    CHECK_FALSE(Signalled(wake.Get()));
}

TEST_CASE("re-timing moves an entry by the change of rate and reorders; removal restores order")
{
    orv::com::UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CUpdateSchedule schedule(wake.Get(), kTicksPerMs);
    schedule.Insert(Fake(1), 1000 * kTicksPerMs);
    schedule.Insert(Fake(2), 600 * kTicksPerMs);
    schedule.Insert(Fake(3), 800 * kTicksPerMs);
    Signalled(wake.Get());

    // 1000 ms → 250 ms: the next scan comes 750 ms earlier.
    CHECK(schedule.Retime(Fake(1), 250 - 1000));
    CHECK(Signalled(wake.Get()));
    auto order = schedule.Snapshot();
    CHECK(order[0].first == Fake(1));
    CHECK(order[0].second == 250 * kTicksPerMs);
    CHECK(schedule.Retime(Fake(1), 600));
    CHECK(schedule.Snapshot().back().first == Fake(1));

    CHECK(schedule.Remove(Fake(2)));
    CHECK_FALSE(schedule.Remove(Fake(2)));
    CHECK_FALSE(schedule.Retime(Fake(2), 10));
    order = schedule.Snapshot();
    REQUIRE(order.size() == 2);
    CHECK(order[0].first == Fake(3));
    CHECK(schedule.TakeAny() != nullptr);
    CHECK(schedule.TakeAny() != nullptr);
    CHECK(schedule.TakeAny() == nullptr);
}

TEST_CASE("a group enters the schedule due at once when activated, holding a pending use but no reference")
{
    NamingOwner owner;
    RecordingSchedule schedule;
    auto group = orv::com::MakeComObject<COPCGroup>(std::make_shared<twopc::group::CGroupOwnerLink>(&owner), &schedule);
    IOPCGroupStateMgt* state = group.Get();
    REQUIRE(state->SetName(L"g") == S_OK);
    ULONG base = RefCount(state);

    DWORD rate = 1000, revised = 0;
    BOOL active = TRUE;
    REQUIRE(state->SetState(&rate, &revised, &active, nullptr, nullptr, nullptr, nullptr) == S_OK);
    REQUIRE(schedule.calls.size() == 1);
    CHECK(schedule.calls[0].kind == 'I');
    CHECK(schedule.calls[0].value == 0);
    CHECK(RefCount(state) == base);

    REQUIRE(state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr) == S_OK);
    CHECK(schedule.calls.size() == 1);  // already active: nothing happens

    rate = 250;
    REQUIRE(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr) == S_OK);
    REQUIRE(schedule.calls.size() == 2);
    CHECK(schedule.calls[1].kind == 'T');
    CHECK(schedule.calls[1].value == -750);
    REQUIRE(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr) == S_OK);
    CHECK(schedule.calls.size() == 2);  // same rate: no re-timing

    active = FALSE;
    REQUIRE(state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr) == S_OK);
    REQUIRE(schedule.calls.size() == 3);
    CHECK(schedule.calls[2].kind == 'R');
    CHECK(RefCount(state) == base);

    rate = 500;
    REQUIRE(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr) == S_OK);
    CHECK(schedule.calls.size() == 3);  // inactive groups are not re-timed
}
