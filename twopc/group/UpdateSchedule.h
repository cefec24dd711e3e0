#pragma once
// The update schedule as a group sees it: the group enters it when it becomes active and
// leaves it when it becomes inactive. Each entry carries one COM reference and one
// pending-use hold on its group, which the group takes before Insert and gives up after
// a successful Remove. Called with the group lock held; the schedule lock is taken inside.

#include <cstdint>

namespace twopc::group {

class COPCGroup;

class IUpdateSchedule {
public:
    // Adds an entry due at `dueTicks` (0: at once) and wakes the scan thread.
    virtual void Insert(COPCGroup* group, std::int64_t dueTicks) = 0;
    // Removes the group's entry; false when it has none (the scan thread may hold it).
    virtual bool Remove(COPCGroup* group) = 0;
    // Moves the group's next due time by `deltaMs` and wakes the scan thread; false when
    // the group has no entry.
    virtual bool Retime(COPCGroup* group, std::int64_t deltaMs) = 0;

protected:
    ~IUpdateSchedule() = default;
};

}  // namespace twopc::group
