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
//
// The fields travel as words, not as VARIANT and FILETIME records: the scan copies every
// item's value two more times (into the reported value and into the client's entry), and
// a 16-byte copy of a record that was just written 8 bytes at a time waits for the stores
// to drain instead of taking their data (store-to-load forwarding fails); on the update
// path that was a third of the scan's time.
#include "orv/com/Owners.h"

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace twopc::group {

class PublishedValue {
public:
    static constexpr std::size_t kValueWords = sizeof(VARIANT) / sizeof(std::uint64_t);
    static_assert(sizeof(VARIANT) % sizeof(std::uint64_t) == 0);

    // The fields as one write left them. `value` holds a VARIANT's bits: it owns nothing,
    // and whatever it points at stays valid only as long as the item lock is held.
    struct Fields {
        std::uint64_t value[kValueWords];
        std::uint64_t ticks;
        WORD quality;

        VARTYPE Type() const noexcept { return static_cast<VARTYPE>(value[0]); }
        FILETIME Timestamp() const noexcept { return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }
        // A bitwise copy, a word at a time, into a VARIANT that holds nothing that needs freeing.
        void CopyValueTo(VARIANT& target) const noexcept
        {
            for (std::size_t i = 0; i < kValueWords; ++i)
                std::memcpy(reinterpret_cast<char*>(&target) + i * sizeof(std::uint64_t), &value[i],
                            sizeof(std::uint64_t));
        }
        VARIANT Value() const noexcept
        {
            VARIANT copy;
            CopyValueTo(copy);
            return copy;
        }
    };

    explicit PublishedValue(WORD quality) noexcept : m_quality(quality) {}
    ~PublishedValue()
    {
        Fields fields;
        Load(fields);
        VARIANT value = fields.Value();
        orv::com::ClearVariant(value);
    }
    PublishedValue(const PublishedValue&) = delete;
    PublishedValue& operator=(const PublishedValue&) = delete;

    // Under the item lock. Takes ownership of `*value` when it is given (leaving it
    // VT_EMPTY) and frees the value it replaces; without a value, or without a quality,
    // the published one stays.
    void Publish(VARIANT* value, const WORD* quality, const FILETIME& timestamp) noexcept
    {
        Fields replaced{};
        const std::uint32_t sequence = BeginWrite();
        if (value) {
            Load(replaced);
            StoreValue(*value);
            V_VT(value) = VT_EMPTY;
        }
        StoreRest(quality, timestamp);
        m_sequence.store(sequence + 2, std::memory_order_release);
        // Readers of a value that owns memory hold the item lock, as the caller does.
        VARIANT old = replaced.Value();
        orv::com::ClearVariant(old);
    }

    // Without the item lock, for a `value` (if any) that owns nothing. False, with nothing
    // published, when the published value owns memory: the caller then takes the item lock
    // and uses Publish.
    bool TryPublishPlain(const VARIANT* value, const WORD* quality, const FILETIME& timestamp) noexcept
    {
        const std::uint32_t sequence = BeginWrite();
        const bool plain = orv::com::OwnsNothing(static_cast<VARTYPE>(m_value[0].load(std::memory_order_relaxed)));
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
    void Read(Fields& fields) const noexcept
    {
        for (unsigned attempt = 0;; ++attempt) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                Load(fields);
                std::atomic_thread_fence(std::memory_order_acquire);
                if (m_sequence.load(std::memory_order_relaxed) == before) return;
            }
            Pause(attempt);
        }
    }
    Fields Read() const noexcept
    {
        Fields fields;
        Read(fields);
        return fields;
    }

    // Without the item lock. False when the value owns memory: the reader then takes the
    // item lock and reads again. `fields` is written either way.
    bool TryReadUnlocked(Fields& fields) const noexcept
    {
        Read(fields);
        return orv::com::OwnsNothing(fields.Type());
    }

private:
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
        m_timestamp.store((static_cast<std::uint64_t>(timestamp.dwHighDateTime) << 32) | timestamp.dwLowDateTime,
                          std::memory_order_relaxed);
    }

    void Load(Fields& fields) const noexcept
    {
        for (std::size_t i = 0; i < kValueWords; ++i) fields.value[i] = m_value[i].load(std::memory_order_relaxed);
        fields.quality = m_quality.load(std::memory_order_relaxed);
        fields.ticks = m_timestamp.load(std::memory_order_relaxed);
    }

    // The first word is the type alone, its reserved words zero, unless the value is a
    // DECIMAL, which uses them: a value just built sets the type with a 2-byte store, and
    // reading the whole word back would wait for it to drain.
    void StoreValue(const VARIANT& value) noexcept
    {
        std::uint64_t words[kValueWords];
        if (V_VT(&value) == VT_DECIMAL) {
            std::memcpy(words, &value, sizeof(VARIANT));
        } else {
            words[0] = V_VT(&value);
            std::memcpy(&words[1], reinterpret_cast<const char*>(&value) + sizeof(std::uint64_t),
                        sizeof(VARIANT) - sizeof(std::uint64_t));
        }
        for (std::size_t i = 0; i < kValueWords; ++i) m_value[i].store(words[i], std::memory_order_relaxed);
    }

    // The count first: a reader's first load brings in the whole line.
    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<WORD> m_quality;
    std::atomic<std::uint64_t> m_timestamp{0};
    std::atomic<std::uint64_t> m_value[kValueWords] = {};
};

}  // namespace twopc::group
