#pragma once
// Internal to the link libraries: a mutex and a condition variable over Windows' slim
// reader/writer lock and condition variable, for the network's one lock and its two waits.
// With MinGW's threads std::mutex and std::condition_variable wait and wake through
// kernel objects, and under Wine every such wake is a round trip to the wine server: with
// every item that a client added waking the delivery thread, those round trips were most
// of the time an AddItems of 100,000 items took. Slim locks wait on addresses instead.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sim {

class SlimMutex {
public:
    SlimMutex() = default;
    SlimMutex(const SlimMutex&) = delete;
    SlimMutex& operator=(const SlimMutex&) = delete;

    void lock() noexcept { AcquireSRWLockExclusive(&m_lock); }
    bool try_lock() noexcept { return TryAcquireSRWLockExclusive(&m_lock) != 0; }
    void unlock() noexcept { ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* Native() noexcept { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class SlimConditionVariable {
public:
    SlimConditionVariable() = default;
    SlimConditionVariable(const SlimConditionVariable&) = delete;
    SlimConditionVariable& operator=(const SlimConditionVariable&) = delete;

    void notify_one() noexcept { WakeConditionVariable(&m_condition); }
    void notify_all() noexcept { WakeAllConditionVariable(&m_condition); }

    void wait(std::unique_lock<SlimMutex>& lock) noexcept { SleepFor(lock, INFINITE); }
    template <class Predicate>
    void wait(std::unique_lock<SlimMutex>& lock, Predicate ready)
    {
        while (!ready()) wait(lock);
    }

    template <class Clock, class Duration>
    std::cv_status wait_until(std::unique_lock<SlimMutex>& lock, const std::chrono::time_point<Clock, Duration>& deadline)
    {
        const auto now = Clock::now();
        if (now >= deadline) return std::cv_status::timeout;
        // Rounded up, so that a wait never ends before its deadline.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        SleepFor(lock, left >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(left));
        return Clock::now() >= deadline ? std::cv_status::timeout : std::cv_status::no_timeout;
    }

    template <class Rep, class Period, class Predicate>
    bool wait_for(std::unique_lock<SlimMutex>& lock, const std::chrono::duration<Rep, Period>& timeout, Predicate ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!ready()) {
            if (wait_until(lock, deadline) == std::cv_status::timeout) return ready();
        }
        return true;
    }

private:
    void SleepFor(std::unique_lock<SlimMutex>& lock, DWORD milliseconds) noexcept
    {
        SleepConditionVariableSRW(&m_condition, lock.mutex()->Native(), milliseconds, 0);
    }

    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

}  // namespace sim
