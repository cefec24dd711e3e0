#pragma once
// A hint to the processor to start fetching memory that will be read shortly. Walks over
// many records that another core wrote last use it to overlap their cache misses instead
// of taking them one after another.

#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define ORV_HMX_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define ORV_HMX_PREFETCH(address) ((void)(address))
#endif

namespace orv::hmx {

inline void PrefetchToRead(const void* start) noexcept { ORV_HMX_PREFETCH(start); }

}  // namespace orv::hmx
