#pragma once
// The one source of every number the server hands a client as an opaque identifier:
// group and item server handles, OPC 1.0 advise connections, transaction IDs and the
// numbers in generated group names. Sharing one number space keeps any two live
// identifiers of any kind distinct across the whole process.
//
// Numbers rise 1, 2, 3, ... and none is reused until 0xFFFFFFFF has been handed out;
// from then on, and for good, returned numbers are handed out again, lowest first.
// 0 is never handed out: it means that nothing is left. Any thread may call; the lock
// is held for the whole operation and no other lock is taken inside, so callers may
// hold group or item locks.

#include "orv/com/CriticalSection.h"
#include "twopc/group/RangeSet.h"

namespace twopc::group {

class CIdMgr : public orv::com::CCriticalSection {
public:
    CIdMgr();
    // Starts as though every number below firstFree had been handed out already, so that
    // tests can reach the end of the number space; requires firstFree >= 1.
    explicit CIdMgr(unsigned long firstFree);

    // 0 when no number is left.
    unsigned long AllocateId();
    // Giving a number back twice, or giving back 0, changes nothing. Throws std::bad_alloc
    // (with the lock released) when the returned set cannot grow.
    void FreeId(unsigned long id);

private:
    CRangeSet<unsigned long> m_initialSet;
    CRangeSet<unsigned long> m_returnedSet;
    CRangeSet<unsigned long>* m_currentSet;
    CRangeSet<unsigned long>* const m_returnedSetPtr;
};

// The process-wide allocator; built during static initialisation of the module, so it
// exists before any COM call can arrive, and destroyed when the module unloads.
extern CIdMgr g_idMgr;

// For destructors: a number that cannot be given back for want of memory is simply never
// reused, which costs nothing but the number.
inline void GiveBackId(unsigned long id) noexcept
{
    try {
        g_idMgr.FreeId(id);
    } catch (...) {
    }
}

}  // namespace twopc::group
