#pragma once
// A hint to the processor to start fetching memory that will be read shortly. Walks over
// many separately allocated objects use it to overlap the objects' cache misses instead
// of taking them one after another.

#include <cstddef>

#if defined(_M_X64) || defined(__x86_64__) || defined(_M_IX86) || defined(__i386__)
#include <xmmintrin.h>
#define ORV_HMX_HAS_PREFETCH 1
#endif

namespace orv::hmx {

inline constexpr std::size_t kCacheLineBytes = 64;

inline void PrefetchBytes(const void* start, std::size_t bytes) noexcept
{
#ifdef ORV_HMX_HAS_PREFETCH
    const char* first = static_cast<const char*>(start);
    for (std::size_t offset = 0; offset < bytes; offset += kCacheLineBytes)
        _mm_prefetch(first + offset, _MM_HINT_T0);
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace orv::hmx
