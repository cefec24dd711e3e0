#include "twopc/group/PublishedSlot.h"

#include "orv/com/CriticalSection.h"
#include "twopc/link/NetworkValue.h"

#include <new>
#include <vector>

namespace twopc::group {

static_assert(sizeof(PublishedSlot) == 32, "two slots to a cache line");

namespace {

// A chunk is what VirtualAlloc hands out at its granularity, and lies at a multiple of it:
// a slot's address, rounded down, is its chunk.
constexpr std::uintptr_t kChunkBytes = 64 * 1024;
constexpr std::size_t kSlotsPerChunk = kChunkBytes / (sizeof(PublishedSlot) + sizeof(IPublishedSlotOwner*));

struct SlotChunk {
    alignas(64) unsigned char slots[kSlotsPerChunk][sizeof(PublishedSlot)];
    IPublishedSlotOwner* owners[kSlotsPerChunk];
};
static_assert(sizeof(SlotChunk) <= kChunkBytes);

SlotChunk& ChunkOf(const void* slot) noexcept
{
    return *reinterpret_cast<SlotChunk*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kChunkBytes - 1));
}

std::size_t IndexOf(const void* slot) noexcept
{
    const SlotChunk& chunk = ChunkOf(slot);
    return static_cast<std::size_t>(static_cast<const unsigned char*>(slot) - chunk.slots[0]) / sizeof(PublishedSlot);
}

class SlotPool {
public:
    void* Take(IPublishedSlotOwner& owner)
    {
        orv::com::CSingleLock hold(m_lock);
        void* storage = m_free;
        if (storage) {
            m_free = *static_cast<void**>(storage);
        } else {
            if (m_chunks.empty() || m_usedInLast == kSlotsPerChunk) AddChunk();
            storage = m_chunks.back()->slots[m_usedInLast++];
        }
        ChunkOf(storage).owners[IndexOf(storage)] = &owner;
        ++m_live;
        return storage;
    }

    void Give(void* storage) noexcept
    {
        orv::com::CSingleLock hold(m_lock);
        ChunkOf(storage).owners[IndexOf(storage)] = nullptr;
        *static_cast<void**>(storage) = m_free;
        m_free = storage;
        // The last slot given back returns the chunks, so that a library unloaded with
        // no item left leaves nothing behind.
        if (--m_live == 0) {
            for (SlotChunk* chunk : m_chunks) VirtualFree(chunk, 0, MEM_RELEASE);
            m_chunks.clear();
            m_free = nullptr;
        }
    }

private:
    void AddChunk()
    {
        void* memory = VirtualAlloc(nullptr, kChunkBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!memory) throw std::bad_alloc();
        try {
            if (reinterpret_cast<std::uintptr_t>(memory) & (kChunkBytes - 1)) throw std::bad_alloc();
            m_chunks.push_back(static_cast<SlotChunk*>(memory));
        } catch (...) {
            VirtualFree(memory, 0, MEM_RELEASE);
            throw;
        }
        m_usedInLast = 0;
    }

    orv::com::CCriticalSection m_lock;
    std::vector<SlotChunk*> m_chunks;
    std::size_t m_usedInLast = 0;
    // Given-back slots, linked through their first word.
    void* m_free = nullptr;
    std::size_t m_live = 0;
};

// Never destroyed: an item that a client leaked may give its slot back after the
// library's static objects are gone.
SlotPool& Pool()
{
    alignas(SlotPool) static unsigned char storage[sizeof(SlotPool)];
    static SlotPool* pool = new (storage) SlotPool;
    return *pool;
}

}  // namespace

PublishedSlot* PublishedSlot::Allocate(IPublishedSlotOwner& owner, std::uint32_t flags)
{
    return new (Pool().Take(owner)) PublishedSlot(flags);
}

void PublishedSlot::Free(PublishedSlot* slot) noexcept
{
    if (!slot) return;
    slot->~PublishedSlot();
    Pool().Give(slot);
}

IPublishedSlotOwner& PublishedSlot::Owner() const noexcept
{
    return *ChunkOf(this).owners[IndexOf(this)];
}

void PublishedSlot::ApplyArrival(std::uint32_t mask, const link::KelvaneValue* value, std::uint32_t status,
                                 std::uint64_t timestamp)
{
    orv::com::UniqueVariant arrived;
    const bool hasValue = (mask & link::kfValue) && value;
    const HRESULT converted = hasValue ? link::ToVariantInline(*value, arrived.Get()) : S_OK;
    const WORD quality = status == 0 ? OPC_QUALITY_GOOD : OPC_QUALITY_BAD;
    const WORD* newQuality = (mask & link::kfStatus) ? &quality : nullptr;
    FILETIME stamp;
    if (mask & link::kfTimestamp)
        stamp = PublishedValue::FileTimeOf(timestamp);
    else
        GetSystemTimeAsFileTime(&stamp);

    // The path of every number once the point has its first value: the publication's own
    // count and nothing of the item.
    if (converted == S_OK && orv::com::OwnsNothing(arrived.Ref()) &&
        m_value.TryPublishPlain(hasValue ? arrived.Get() : nullptr, newQuality, stamp))
        return;
    Owner().PublishLocked(hasValue ? arrived.Get() : nullptr, converted, newQuality, stamp);
}

void PublishedSlot::ApplyPointInfo(const link::KelvanePointInfo& info)
{
    Owner().ApplyPointInfo(info);
}

void PublishedSlot::ApplyPointStatus(std::uint32_t code)
{
    Owner().ApplyPointStatus(code);
}

}  // namespace twopc::group
