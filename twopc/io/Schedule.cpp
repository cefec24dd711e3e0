#include "twopc/io/Schedule.h"

#include <algorithm>

namespace twopc::io {

using orv::com::CSingleLock;

CUpdateSchedule::CUpdateSchedule(HANDLE wakeUp, std::int64_t ticksPerMillisecond)
    : m_wakeUp(wakeUp), m_ticksPerMillisecond(ticksPerMillisecond > 0 ? ticksPerMillisecond : 1)
{
}

std::vector<CUpdateSchedule::Entry>::iterator CUpdateSchedule::Find(IScheduledGroup* group)
{
    return std::find_if(m_heap.begin(), m_heap.end(), [group](const Entry& e) { return e.group == group; });
}

void CUpdateSchedule::Insert(IScheduledGroup* group, std::int64_t dueTicks)
{
    CSingleLock hold(m_lock);
    // Room also for the entry the scan thread may have out of the heap, so that putting it
    // back (Reinsert, on the scan thread, where a failure has nowhere to go) never allocates.
    if (m_heap.capacity() < m_heap.size() + 2) m_heap.reserve(2 * m_heap.size() + 2);
    m_heap.push_back({group, dueTicks});
    std::push_heap(m_heap.begin(), m_heap.end(), LaterFirst{});
    SetEvent(m_wakeUp);
}

bool CUpdateSchedule::Remove(IScheduledGroup* group)
{
    CSingleLock hold(m_lock);
    auto entry = Find(group);
    if (entry == m_heap.end()) return false;
    m_heap.erase(entry);
    std::make_heap(m_heap.begin(), m_heap.end(), LaterFirst{});
    return true;
}

bool CUpdateSchedule::Retime(IScheduledGroup* group, std::int64_t deltaMs)
{
    CSingleLock hold(m_lock);
    auto entry = Find(group);
    if (entry == m_heap.end()) return false;
    entry->due += deltaMs * m_ticksPerMillisecond;
    std::make_heap(m_heap.begin(), m_heap.end(), LaterFirst{});
    SetEvent(m_wakeUp);
    return true;
}

CUpdateSchedule::Due CUpdateSchedule::PopDue(std::int64_t nowTicks, std::int64_t toleranceTicks)
{
    CSingleLock hold(m_lock);
    if (m_heap.empty()) return {};
    std::int64_t remaining = m_heap.front().due - nowTicks;
    if (remaining <= toleranceTicks) {
        std::pop_heap(m_heap.begin(), m_heap.end(), LaterFirst{});
        IScheduledGroup* group = m_heap.back().group;
        m_heap.pop_back();
        return {group, 0};
    }
    return {nullptr, static_cast<DWORD>(remaining / m_ticksPerMillisecond)};
}

void CUpdateSchedule::Reinsert(IScheduledGroup* group, std::int64_t dueTicks)
{
    CSingleLock hold(m_lock);
    m_heap.push_back({group, dueTicks});
    std::push_heap(m_heap.begin(), m_heap.end(), LaterFirst{});
    // When many groups are due at once, let other threads have a turn now and then.
    if (--m_yieldCounter == 0) {
        m_yieldCounter = 100;
        Sleep(0);
    }
}

IScheduledGroup* CUpdateSchedule::TakeAny()
{
    CSingleLock hold(m_lock);
    if (m_heap.empty()) return nullptr;
    IScheduledGroup* group = m_heap.back().group;
    m_heap.pop_back();
    return group;
}

std::vector<std::pair<IScheduledGroup*, std::int64_t>> CUpdateSchedule::Snapshot()
{
    std::vector<Entry> copy;
    {
        CSingleLock hold(m_lock);
        copy = m_heap;
    }
    std::vector<std::pair<IScheduledGroup*, std::int64_t>> ordered;
    while (!copy.empty()) {
        std::pop_heap(copy.begin(), copy.end(), LaterFirst{});
        ordered.emplace_back(copy.back().group, copy.back().due);
        copy.pop_back();
    }
    return ordered;
}

}  // namespace twopc::io
