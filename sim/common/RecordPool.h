#pragma once
// Internal to the link libraries: an allocator that keeps records of one size together,
// in chunks of their own, instead of wherever the process heap has room.
//
// The network's subscription records are made one per Subscribe, between whatever the
// client allocates for the same point (its item record, its strings). From the process
// heap they came out spread over the client's memory, one record in every kilobyte or so,
// and the bench sweep, which visits every record at every tick, then missed the cache on
// each, where with the records side by side the processor streams them in. The simulator's
// own cost would so depend on how its client allocates; from a pool it does not, and the
// floor that the bench measures with a client that allocates nothing holds for every client.

#include "SlimSync.h"

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace sim {

// Blocks of `Size` bytes, aligned to `Align`, handed out in address order from chunks of
// many; a given-back block is reused first. Chunks are kept for the life of the process.
template <std::size_t Size, std::size_t Align>
class BlockPool {
public:
    static BlockPool& Instance()
    {
        // Never destroyed: a record may outlive the library's static objects.
        alignas(BlockPool) static unsigned char storage[sizeof(BlockPool)];
        static BlockPool* pool = new (storage) BlockPool;
        return *pool;
    }

    void* Take()
    {
        std::scoped_lock lock(m_mutex);
        if (m_free) {
            Block* block = m_free;
            m_free = block->next;
            return block;
        }
        if (m_usedInLast == kBlocksPerChunk || m_chunks.empty()) {
            void* chunk = ::operator new(kBlocksPerChunk * sizeof(Block), std::align_val_t{Align});
            try {
                m_chunks.push_back(static_cast<Block*>(chunk));
            } catch (...) {
                ::operator delete(chunk, std::align_val_t{Align});
                throw;
            }
            m_usedInLast = 0;
        }
        return &m_chunks.back()[m_usedInLast++];
    }

    void Give(void* storage) noexcept
    {
        std::scoped_lock lock(m_mutex);
        Block* block = static_cast<Block*>(storage);
        block->next = m_free;
        m_free = block;
    }

private:
    union alignas(Align) Block {
        Block* next;
        unsigned char bytes[Size];
    };
    static constexpr std::size_t kBlocksPerChunk = 1024;

    SlimMutex m_mutex;
    std::vector<Block*> m_chunks;
    std::size_t m_usedInLast = 0;
    Block* m_free = nullptr;
};

// A standard allocator over BlockPool for single objects, as std::allocate_shared uses it
// (rebound to its control block); arrays come from the heap.
template <class T>
class PoolAllocator {
public:
    using value_type = T;
    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t count)
    {
        if (count == 1) return static_cast<T*>(Pool().Take());
        return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t{alignof(T)}));
    }
    void deallocate(T* object, std::size_t count) noexcept
    {
        if (count == 1)
            Pool().Give(object);
        else
            ::operator delete(object, std::align_val_t{alignof(T)});
    }

    template <class U>
    bool operator==(const PoolAllocator<U>&) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const PoolAllocator<U>&) const noexcept
    {
        return false;
    }

private:
    static BlockPool<sizeof(T), alignof(T)>& Pool() { return BlockPool<sizeof(T), alignof(T)>::Instance(); }
};

}  // namespace sim
