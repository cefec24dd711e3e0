#include "twopc/group/IdMgr.h"

namespace twopc::group {

CIdMgr g_idMgr;

CIdMgr::CIdMgr() : CIdMgr(1) {}

CIdMgr::CIdMgr(unsigned long firstFree)
    : m_initialSet(firstFree, 0xFFFFFFFFul),
      m_currentSet(&m_initialSet),
      m_returnedSetPtr(&m_returnedSet)
{
}

unsigned long CIdMgr::AllocateId()
{
    orv::com::CSingleLock hold(*this);
    unsigned long id = m_currentSet->RemoveLowest();
    if (id == 0) {
        // The initial set only ever shrinks: once dry, returned numbers are the only source.
        m_currentSet = m_returnedSetPtr;
        id = m_currentSet->RemoveLowest();
    }
    return id;
}

void CIdMgr::FreeId(unsigned long id)
{
    // A group built after exhaustion holds 0 as its handle and gives it back like any
    // other; letting 0 into the set would make AllocateId report "none left" early.
    if (id == 0) return;
    orv::com::CSingleLock hold(*this);
    m_returnedSetPtr->Add(id);
}

}  // namespace twopc::group
