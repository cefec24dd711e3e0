#pragma once
// PublishedValue: an item's current value, quality and timestamp as the value arrivals
// publish them, readable by the update scan without the item lock.
//
// A write makes the sequence count odd (taking it from even with one compare-and-swap, which
// keeps writers apart), stores the fields and makes it even again; a reader copies the
// fields between two loads of the count and tries again when the count was odd or changed,
// so it never sees the value of one arrival with the quality or timestamp of another.
// Every field is a word of its own, stored and loaded atomically, which keeps the copy
// well defined while a write is under way.
//
// A value that owns memory (a string, an array, an interface) is another matter: the writer
// that replaces it frees it, and a reader's copy could then point at freed memory. So such
// values are written and read only under the item lock: Publish, with the item lock held,
// frees what it replaces; a lock-free reader that finds one takes the item lock and reads
// again; and TryPublishPlain, the writer without the item lock, writes only a value that
// owns nothing over a value that owns nothing, and leaves everything else to Publish.
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
        const std::uint32_t sequence = BeginWrite();
        if (value) {
            replaced = Load().value;
            StoreValue(*value);
            VariantInit(value);
        }
        StoreRest(quality, timestamp);
        m_sequence.store(sequence + 2, std::memory_order_release);
        // Readers of a value that owns memory hold the item lock, as the caller does.
        orv::com::ClearVariant(replaced);
    }

    // Without the item lock, for a `value` (if any) that owns nothing. False, with nothing
    // published, when the published value owns memory: the caller then takes the item lock
    // and uses Publish.
    bool TryPublishPlain(const VARIANT* value, const WORD* quality, const FILETIME& timestamp) noexcept
    {
        const std::uint32_t sequence = BeginWrite();
        const bool plain = orv::com::OwnsNothing(Load().value);
        if (plain) {
            if (value) StoreValue(*value);
            StoreRest(quality, timestamp);
        }
        // Given up, the write leaves the fields as they were; readers merely try again.
        m_sequence.store(sequence + 2, std::memory_order_release);
        return plain;
    }

    // The fields of one write. A value that owns memory stays valid only while the item
    // lock is held.
    Fields Read() const noexcept
    {
        Fields fields;
        for (unsigned attempt = 0;; ++attempt) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                fields = Load();
                std::atomic_thread_fence(std::memory_order_acquire);
                if (m_sequence.load(std::memory_order_relaxed) == before) return fields;
            }
            Pause(attempt);
        }
    }

    // Without the item lock. False when the value owns memory: the reader then takes the
    // item lock and reads again. `fields` is written either way.
    bool TryReadUnlocked(Fields& fields) const noexcept
    {
        fields = Read();
        return orv::com::OwnsNothing(fields.value);
    }

private:
    static constexpr std::size_t kValueWords = sizeof(VARIANT) / sizeof(std::uint64_t);
    static_assert(sizeof(VARIANT) % sizeof(std::uint64_t) == 0);

    static std::uint64_t ToTicks(const FILETIME& time) noexcept
    {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    }

    // A writer or reader that found a write in progress: the other side is in the middle of
    // a few stores, or was preempted there.
    static void Pause(unsigned attempt) noexcept
    {
        if (attempt < 64)
            YieldProcessor();
        else
            SwitchToThread();
    }

    std::uint32_t BeginWrite() noexcept
    {
        for (unsigned attempt = 0;; ++attempt) {
            std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
            if ((sequence & 1) == 0 &&
                m_sequence.compare_exchange_weak(sequence, sequence + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                // The odd count is seen before any of the stores that follow.
                std::atomic_thread_fence(std::memory_order_release);
                return sequence;
            }
            Pause(attempt);
        }
    }

    void StoreRest(const WORD* quality, const FILETIME& timestamp) noexcept
    {
        if (quality) m_quality.store(*quality, std::memory_order_relaxed);
        m_timestamp.store(ToTicks(timestamp), std::memory_order_relaxed);
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
