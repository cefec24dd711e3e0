#pragma once
// The update schedule: the active groups of every server instance, each with the
// performance-counter time at which its next scan is due, kept as a min-heap under the
// schedule lock. Groups enter and leave it through IUpdateSchedule; the update-scan
// thread pops due groups and puts them back, and reaches them through IScheduledGroup.

#include "orv/com/CriticalSection.h"
#include "twopc/io/ItemValues.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace twopc::io {

// What the update-scan thread needs of a group it has popped. The group implements it;
// this library knows groups only through it.
class IScheduledGroup {
public:
    // The group lock; the schedule lock may be taken inside it, never the other way round.
    virtual orv::com::CCriticalSection& Lock() noexcept = 0;
    // Sends the changed items, filled into `arrays`, and gives the next due time; false when
    // it failed or found the group inactive. May throw std::bad_alloc (a failed scan).
    virtual bool Scan(std::int64_t& nextDueTicks, ScanArrays& arrays) = 0;
    // Under the group lock, after each scan: true while the entry goes back into the
    // schedule; otherwise the caller drops the entry's pending use once it has let go
    // of the group lock.
    virtual bool KeepScheduleEntry(bool scanned, unsigned failureLimit) = 0;
    // The entry's pending use; dropping the last one after a removal may destroy the group.
    virtual void DropPendingUse() = 0;
    // The thread gives up an entry it popped, at shut-down.
    virtual void DropScheduleEntry() = 0;

protected:
    ~IScheduledGroup() = default;
};

// The update schedule as a group sees it: the group enters it when it becomes active and
// leaves it when it becomes inactive. Each entry carries one pending-use hold on its group
// (never a COM reference), which the group takes before Insert and gives up after a
// successful Remove. Called with the group lock held; the schedule lock is taken inside.
class IUpdateSchedule {
public:
    // Adds an entry due at `dueTicks` (0: at once) and wakes the scan thread.
    virtual void Insert(IScheduledGroup* group, std::int64_t dueTicks) = 0;
    // Removes the group's entry; false when it has none (the scan thread may hold it).
    virtual bool Remove(IScheduledGroup* group) = 0;
    // Moves the group's next due time by `deltaMs` and wakes the scan thread; false when
    // the group has no entry.
    virtual bool Retime(IScheduledGroup* group, std::int64_t deltaMs) = 0;

protected:
    ~IUpdateSchedule() = default;
};

class CUpdateSchedule final : public IUpdateSchedule {
public:
    // `wakeUp` is signalled whenever an entry is added or re-timed from outside the thread.
    CUpdateSchedule(HANDLE wakeUp, std::int64_t ticksPerMillisecond);

    // IUpdateSchedule
    void Insert(IScheduledGroup* group, std::int64_t dueTicks) override;
    bool Remove(IScheduledGroup* group) override;
    bool Retime(IScheduledGroup* group, std::int64_t deltaMs) override;

    struct Due {
        IScheduledGroup* group = nullptr;
        // When nothing is due: milliseconds until the earliest entry, or INFINITE when empty.
        DWORD waitMs = INFINITE;
    };
    // Pops the earliest entry if it is due within `toleranceTicks` of `nowTicks`.
    Due PopDue(std::int64_t nowTicks, std::int64_t toleranceTicks);
    // Puts a group back after its scan, from the scan thread; does not signal the wake-up.
    // Never allocates: Insert keeps room for the entry that is out.
    void Reinsert(IScheduledGroup* group, std::int64_t dueTicks);
    // Any one entry, for shut-down.
    IScheduledGroup* TakeAny();

    // Entries in the order they would be popped; for diagnostics and tests.
    std::vector<std::pair<IScheduledGroup*, std::int64_t>> Snapshot();

private:
    struct Entry {
        IScheduledGroup* group;
        std::int64_t due;
    };
    struct LaterFirst {
        bool operator()(const Entry& a, const Entry& b) const noexcept { return a.due > b.due; }
    };
    std::vector<Entry>::iterator Find(IScheduledGroup* group);

    HANDLE m_wakeUp;
    std::int64_t m_ticksPerMillisecond;
    orv::com::CCriticalSection m_lock;
    std::vector<Entry> m_heap;
    int m_yieldCounter = 100;
};

}  // namespace twopc::io
