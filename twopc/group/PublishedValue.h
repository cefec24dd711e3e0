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
// The sequence word carries three flags beside the count, which the item sets under its
// lock through a write of their own: that arrivals must take the item lock (no first value
// yet, or the last read failed, so an arrival has more to change than the value), that the
// item is not readable, and that the client wants the value in another type. The scan and
// the arrivals learn them from the load of the count they make anyway, without touching
// the item.
//
// The fields travel as words, not as VARIANT and FILETIME records: the scan copies every
// item's value two more times (into the reported value and into the client's entry), and
// a 16-byte copy of a record that was just written 8 bytes at a time waits for the stores
// to drain instead of taking their data (store-to-load forwarding fails); on the update
// path that was a third of the scan's time.
//
// A value is its type and one payload word: every value the link delivers (numbers,
// booleans, text) is one, and so the published fields take 24 bytes, which with the
// receiver's vtable pointer makes a 32-byte slot (see PublishedSlot). A value whose payload
// is wider (a DECIMAL, a record) is published as VT_ERROR DISP_E_BADVARTYPE.
#include "orv/com/Owners.h"
#include "twopc/io/ChangeRule.h"

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace twopc::group {

class PublishedValue {
public:
    // True for the types whose payload is one word at most, all that a value may be here.
    static bool FitsOneWord(VARTYPE type) noexcept { return type != VT_DECIMAL && type != VT_RECORD; }
    // A value whose payload is wider than a word becomes VT_ERROR DISP_E_BADVARTYPE.
    static void NarrowToOneWord(VARIANT& value) noexcept
    {
        if (FitsOneWord(V_VT(&value))) return;
        VariantClear(&value);
        V_VT(&value) = VT_ERROR;
        V_ERROR(&value) = DISP_E_BADVARTYPE;
    }
    // A timestamp as the 64-bit count the fields keep it as.
    static FILETIME FileTimeOf(std::uint64_t ticks) noexcept
    {
        return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    }

    // Flags of the sequence word (see above); the count takes the bits below them.
    static constexpr std::uint32_t kLockedWritesOnly = 1u << 31;
    static constexpr std::uint32_t kUnreadable = 1u << 30;
    static constexpr std::uint32_t kConverts = 1u << 29;
    static constexpr std::uint32_t kFlagMask = kLockedWritesOnly | kUnreadable | kConverts;

    // The fields as one write left them. The value owns nothing here: whatever its payload
    // points at stays valid only as long as the item lock is held.
    struct Fields {
        VARTYPE type;  // type and quality are loaded as one word (see Load)
        WORD quality;
        std::uint32_t flags;
        std::uint64_t payload;
        std::uint64_t ticks;

        FILETIME Timestamp() const noexcept { return FileTimeOf(ticks); }
        // A bitwise copy, a word at a time, into a VARIANT that holds nothing that needs freeing.
        void CopyValueTo(VARIANT& target) const noexcept { StoreVariantWords(target, type, payload); }
        VARIANT Value() const noexcept
        {
            VARIANT copy;
            CopyValueTo(copy);
            return copy;
        }
    };

    // Writes a VARIANT of `type` and `payload` as three words: its type (the reserved words
    // zero), the payload, and zero for the rest of the union.
    static void StoreVariantWords(VARIANT& target, VARTYPE type, std::uint64_t payload) noexcept
    {
        const std::uint64_t words[3] = {type, payload, 0};
        static_assert(sizeof(words) == sizeof(VARIANT));
        for (std::size_t i = 0; i < 3; ++i)
            std::memcpy(reinterpret_cast<char*>(&target) + i * sizeof(std::uint64_t), &words[i], sizeof(words[i]));
    }

    explicit PublishedValue(WORD quality, std::uint32_t flags = 0) noexcept
        : m_sequence(flags & kFlagMask), m_typeAndQuality(TypeAndQuality(VT_EMPTY, quality))
    {
    }
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
        if (value) NarrowToOneWord(*value);
        Fields replaced{};
        const std::uint32_t sequence = BeginWrite();
        if (value) {
            Load(replaced);
            StoreValue(*value);
            V_VT(value) = VT_EMPTY;
        }
        StoreRest(quality, timestamp);
        EndWrite(sequence, sequence);
        // Readers of a value that owns memory hold the item lock, as the caller does.
        VARIANT old = replaced.Value();
        orv::com::ClearVariant(old);
    }

    // Without the item lock, for a `value` (if any) that owns nothing. False, with nothing
    // published, when the published value owns memory or arrivals must take the item lock:
    // the caller then takes it and uses Publish.
    bool TryPublishPlain(const VARIANT* value, const WORD* quality, const FILETIME& timestamp) noexcept
    {
        const std::uint32_t sequence = BeginWrite();
        const bool plain =
            !(sequence & kLockedWritesOnly) &&
            orv::com::OwnsNothing(static_cast<VARTYPE>(m_typeAndQuality.load(std::memory_order_relaxed)));
        if (plain) {
            if (value) StoreValue(*value);
            StoreRest(quality, timestamp);
        }
        // Given up, the write leaves the fields as they were; readers merely try again.
        EndWrite(sequence, sequence);
        return plain;
    }

    // Under the item lock: the flags become `flags`, the fields stay.
    void SetFlags(std::uint32_t flags) noexcept
    {
        const std::uint32_t sequence = BeginWrite();
        EndWrite(sequence, flags);
    }
    std::uint32_t Flags() const noexcept { return m_sequence.load(std::memory_order_relaxed) & kFlagMask; }

    // The fields of one write. A value that owns memory stays valid only while the item
    // lock is held.
    void Read(Fields& fields) const noexcept
    {
        for (unsigned attempt = 0;; ++attempt) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                Load(fields);
                fields.flags = before & kFlagMask;
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

    // The count two on from `begun` (the word before BeginWrite), with `flags`.
    void EndWrite(std::uint32_t begun, std::uint32_t flags) noexcept
    {
        m_sequence.store(((begun + 2) & ~kFlagMask) | (flags & kFlagMask), std::memory_order_release);
    }

    void StoreRest(const WORD* quality, const FILETIME& timestamp) noexcept
    {
        if (quality) {
            const std::uint32_t word = m_typeAndQuality.load(std::memory_order_relaxed);
            m_typeAndQuality.store(TypeAndQuality(static_cast<VARTYPE>(word), *quality), std::memory_order_relaxed);
        }
        m_timestamp.store((static_cast<std::uint64_t>(timestamp.dwHighDateTime) << 32) | timestamp.dwLowDateTime,
                          std::memory_order_relaxed);
    }

    void Load(Fields& fields) const noexcept
    {
        // Type and quality as the one word they are stored as: the scan compares them as
        // one, and a word read back from two 2-byte stores would wait for them to drain.
        const std::uint32_t typeAndQuality = m_typeAndQuality.load(std::memory_order_relaxed);
        std::memcpy(reinterpret_cast<char*>(&fields) + offsetof(Fields, type), &typeAndQuality, sizeof(typeAndQuality));
        fields.payload = m_payload.load(std::memory_order_relaxed);
        fields.ticks = m_timestamp.load(std::memory_order_relaxed);
    }

    void StoreValue(const VARIANT& value) noexcept
    {
        const std::uint32_t word = m_typeAndQuality.load(std::memory_order_relaxed);
        m_typeAndQuality.store(TypeAndQuality(V_VT(&value), static_cast<WORD>(word >> 16)), std::memory_order_relaxed);
        m_payload.store(io::PayloadWord(value), std::memory_order_relaxed);
    }

    static std::uint32_t TypeAndQuality(VARTYPE type, WORD quality) noexcept
    {
        return type | (static_cast<std::uint32_t>(quality) << 16);
    }

    // The count first: a reader's first load brings in the whole line.
    std::atomic<std::uint32_t> m_sequence;
    // The type in the low half, the quality in the high half, as in Fields.
    std::atomic<std::uint32_t> m_typeAndQuality;
    std::atomic<std::uint64_t> m_timestamp{0};
    std::atomic<std::uint64_t> m_payload{0};
};
static_assert(sizeof(PublishedValue) == 24, "a slot counts on 24 bytes");
static_assert(offsetof(PublishedValue::Fields, quality) == offsetof(PublishedValue::Fields, type) + sizeof(VARTYPE));

}  // namespace twopc::group
