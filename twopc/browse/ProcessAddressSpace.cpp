#include "twopc/browse/ProcessAddressSpace.h"

#include <atomic>
#include <memory>

namespace twopc::browse {
namespace {

std::atomic<CAddrSpace*> g_addressSpace{nullptr};

orv::com::CCriticalSection& BuildLock()
{
    // Never destroyed: the space it guards outlives static destruction too.
    static orv::com::CCriticalSection* lock = new orv::com::CCriticalSection();
    return *lock;
}

}  // namespace

CAddrSpace* TheAddressSpace() noexcept { return g_addressSpace.load(std::memory_order_acquire); }

void BuildAddressSpace() noexcept
{
    try {
        orv::com::CSingleLock hold(BuildLock());
        if (TheAddressSpace()) return;
        // Published only once its roots are in, so that no reader ever sees a bare root.
        std::unique_ptr<CAddrSpace> space = CAddrSpace::Build(BrowseSource::FromLink());
        g_addressSpace.store(space.release(), std::memory_order_release);
    } catch (...) {
        // Start-up goes on without an address space: browsing then fails and every item
        // ID is treated as one the tree does not know.
    }
}

std::optional<NodeTypeInfo> LookUpNodeType(const std::wstring& itemId)
{
    CAddrSpace* space = TheAddressSpace();
    if (!space) return std::nullopt;
    orv::com::CSingleLock hold(space->TreeLock());
    const CAddrNode* node = space->Lookup(itemId);
    if (!node) return std::nullopt;
    return NodeTypeInfo{node->CanonicalType(), node->AccessRights(), node->IsLeaf(), node->BrowseName()};
}

}  // namespace twopc::browse
