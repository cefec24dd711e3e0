#pragma once
// The update schedule: the active groups of every server instance, each with the
// performance-counter time at which its next scan is due, kept as a min-heap under the
// schedule lock. Groups enter and leave it through IUpdateSchedule; the update-scan
// thread pops due groups and puts them back.

#include "orv/com/CriticalSection.h"
#include "twopc/group/UpdateSchedule.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace twopc::io {

class CUpdateSchedule final : public group::IUpdateSchedule {
public:
    // `wakeUp` is signalled whenever an entry is added or re-timed from outside the thread.
    CUpdateSchedule(HANDLE wakeUp, std::int64_t ticksPerMillisecond);

    // IUpdateSchedule
    void Insert(group::COPCGroup* group, std::int64_t dueTicks) override;
    bool Remove(group::COPCGroup* group) override;
    bool Retime(group::COPCGroup* group, std::int64_t deltaMs) override;

    struct Due {
        group::COPCGroup* group = nullptr;
        // When nothing is due: milliseconds until the earliest entry, or INFINITE when empty.
        DWORD waitMs = INFINITE;
    };
    // Pops the earliest entry if it is due within `toleranceTicks` of `nowTicks`.
    Due PopDue(std::int64_t nowTicks, std::int64_t toleranceTicks);
    // Puts a group back after its scan, from the scan thread; does not signal the wake-up.
    void Reinsert(group::COPCGroup* group, std::int64_t dueTicks);
    // Any one entry, for shut-down.
    group::COPCGroup* TakeAny();

    // Entries in the order they would be popped; for diagnostics and tests.
    std::vector<std::pair<group::COPCGroup*, std::int64_t>> Snapshot();

private:
    struct Entry {
        group::COPCGroup* group;
        std::int64_t due;
    };
    struct LaterFirst {
        bool operator()(const Entry& a, const Entry& b) const noexcept { return a.due > b.due; }
    };
    std::vector<Entry>::iterator Find(group::COPCGroup* group);

    HANDLE m_wakeUp;
    std::int64_t m_ticksPerMillisecond;
    orv::com::CCriticalSection m_lock;
    std::vector<Entry> m_heap;
    int m_yieldCounter = 100;
};

}  // namespace twopc::io
