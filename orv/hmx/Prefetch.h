#pragma once
// Hints to the processor to start fetching memory that will be read or written shortly. Walks
// over many separately allocated objects use them to overlap the objects' cache misses
// instead of taking them one after another. Fetching for writing matters when another
// core wrote the line last: a plain prefetch would bring it in shared, and the first
// locked instruction on it would then wait for a second transfer.

#include <cstddef>

#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define ORV_HMX_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define ORV_HMX_PREFETCH(address) ((void)(address))
#endif

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#define ORV_HMX_PREFETCHW(address) _m_prefetchw(address)
#elif defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// Written out because the compilers emit the instruction only when told the target has it;
// processors without it execute it as a no-op.
#define ORV_HMX_PREFETCHW(address) __asm__ __volatile__("prefetchw %0" : : "m"(*(address)))
#else
#define ORV_HMX_PREFETCHW(address) ((void)(address))
#endif

namespace orv::hmx {

inline constexpr std::size_t kCacheLineBytes = 64;

inline void PrefetchToWrite(const void* start, std::size_t bytes) noexcept
{
    const char* first = static_cast<const char*>(start);
    for (std::size_t offset = 0; offset < bytes; offset += kCacheLineBytes) ORV_HMX_PREFETCHW(first + offset);
}

inline void PrefetchToRead(const void* start) noexcept { ORV_HMX_PREFETCH(start); }

}  // namespace orv::hmx
