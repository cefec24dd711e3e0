#pragma once
// PublishedValue: an item's current value, quality and timestamp as the value arrivals
// publish them, readable by the update scan without the item lock.
//
// Writers hold the item lock, so there is one writer at a time. A write makes the sequence
// count odd, stores the fields and makes it even again; a reader without the lock copies
// the fields between two loads of the count and tries again when the count was odd or
// changed, so it never sees the value of one arrival with the quality or timestamp of
// another. Every field is a word of its own and is stored and loaded atomically, which
// keeps the copy well defined while a write is under way.
//
// A value that owns memory (a string, an array, an interface) cannot be copied by such a
// reader: the writer frees the value it replaces, and the reader's copy could then point
// at freed memory. A lock-free read therefore hands back only the bits; when they name a
// value that owns memory, the reader takes the item lock and reads again. The writer frees
// a replaced value under the item lock, after the new one is published.

#include "orv/com/Owners.h"

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace twopc::group {

class PublishedValue {
public:
    // The fields as one arrival left them. `value` is a bitwise copy: it owns nothing, and
    // whatever it points at stays valid only as long as the item lock is held.
    struct Fields {
        VARIANT value;
        WORD quality;
        FILETIME timestamp;
    };

    explicit PublishedValue(WORD quality) noexcept : m_quality(quality) {}
    ~PublishedValue()
    {
        VARIANT value = Load().value;
        orv::com::ClearVariant(value);
    }
    PublishedValue(const PublishedValue&) = delete;
    PublishedValue& operator=(const PublishedValue&) = delete;

    // Under the item lock. Takes ownership of `*value` when it is given (leaving it
    // VT_EMPTY) and frees the value it replaces; without a value, or without a quality,
    // the published one stays.
    void Publish(VARIANT* value, const WORD* quality, const FILETIME& timestamp) noexcept
    {
        VARIANT replaced;
        VariantInit(&replaced);
        const std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
        m_sequence.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        if (value) {
            replaced = Load().value;
            StoreValue(*value);
            VariantInit(value);
        }
        if (quality) m_quality.store(*quality, std::memory_order_relaxed);
        m_timestamp.store(ToTicks(timestamp), std::memory_order_relaxed);
        m_sequence.store(sequence + 2, std::memory_order_release);
        orv::com::ClearVariant(replaced);
    }

    // Under the item lock: the fields, valid while the lock is held.
    Fields Locked() const noexcept { return Load(); }

    // Without the item lock. False when the value owns memory: the reader then takes the
    // item lock and uses Locked(). `fields` is written either way.
    bool TryReadUnlocked(Fields& fields) const noexcept
    {
        for (unsigned attempt = 0;; ++attempt) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                fields = Load();
                std::atomic_thread_fence(std::memory_order_acquire);
                if (m_sequence.load(std::memory_order_relaxed) == before) break;
            }
            // A writer in the middle of its few stores, or one that was preempted there.
            if (attempt < 64)
                YieldProcessor();
            else
                SwitchToThread();
        }
        return orv::com::OwnsNothing(fields.value);
    }

private:
    static constexpr std::size_t kValueWords = sizeof(VARIANT) / sizeof(std::uint64_t);
    static_assert(sizeof(VARIANT) % sizeof(std::uint64_t) == 0);

    static std::uint64_t ToTicks(const FILETIME& time) noexcept
    {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    }

    Fields Load() const noexcept
    {
        Fields fields;
        std::uint64_t words[kValueWords];
        for (std::size_t i = 0; i < kValueWords; ++i) words[i] = m_value[i].load(std::memory_order_relaxed);
        std::memcpy(&fields.value, words, sizeof(VARIANT));
        fields.quality = m_quality.load(std::memory_order_relaxed);
        const std::uint64_t ticks = m_timestamp.load(std::memory_order_relaxed);
        fields.timestamp = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        return fields;
    }

    void StoreValue(const VARIANT& value) noexcept
    {
        std::uint64_t words[kValueWords];
        std::memcpy(words, &value, sizeof(VARIANT));
        for (std::size_t i = 0; i < kValueWords; ++i) m_value[i].store(words[i], std::memory_order_relaxed);
    }

    // The count first: a reader's first load brings in the whole line.
    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<WORD> m_quality;
    std::atomic<std::uint64_t> m_timestamp{0};
    std::atomic<std::uint64_t> m_value[kValueWords] = {};
};

}  // namespace twopc::group
