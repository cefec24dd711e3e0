#pragma once

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "twopc/browse/AddrNode.h"
#include "twopc/link/KelvaneLink.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace twopc::browse {

// Where refreshes list children from. The running server uses the link session's browse
// interface and host name (FromLink); tests put a fake network behind it.
struct BrowseSource {
    // Null when the link could not be opened: refreshes then find nothing.
    std::function<orv::com::ComPtr<link::IKelvaneBrowser>()> browser;
    std::function<std::wstring()> hostName;

    static BrowseSource FromLink();
};

// The registry key whose value "Kelvane Root URLs" names the configured roots. The first
// key below the hive is opened, the others are created if missing; only when the last one
// is newly created is the default value written.
struct RootsKeyPath {
    HKEY hive;
    std::vector<std::string> keys;

    // HKEY_LOCAL_MACHINE\Software\Orvane\OPC Kelvane Interface\1.2
    static RootsKeyPath Default();
};

// Within one client call that looks many item IDs up (AddItems, ValidateItems, the item
// properties), each branch on their paths is listed from the network once: the first
// lookup through it refreshes it, the later ones take that listing (or its failure). The
// next call lists it anew. Without this, N items in a branch of N listed points cost N
// listings of N entries each. A batch belongs to the thread that made it; one made while
// another is open on the same thread is part of the outer one.
class LookupBatch {
public:
    LookupBatch() noexcept;
    ~LookupBatch();
    LookupBatch(const LookupBatch&) = delete;
    LookupBatch& operator=(const LookupBatch&) = delete;

private:
    friend class CAddrSpace;
    bool m_outermost;
    // Detached nodes stay alive with the space, so a node's address is not reused by
    // another within the call.
    std::unordered_map<const CAddrNode*, HRESULT> m_refreshed;
};

// The address space: the root node, the configured roots below it and whatever the
// network has reported below those so far. One per process once the server has started
// (see ProcessAddressSpace.h); tests make their own.
//
// Threading: one re-entrant lock, TreeLock(), guards the whole tree. Lookup and Refresh
// take it themselves; a caller that walks nodes or combines several steps (a browse
// listing: refresh, then filter the children) holds it for the whole operation. It also
// keeps one refresh's Open/Next sequence apart from another's, since the browse interface
// holds only one listing at a time. While it is held nothing else of the server is
// locked, so it can be taken inside the server, group and item locks; it is held across
// calls into the browse interface, which never calls back into the server.
//
// Node lifetime: a refresh takes the nodes that the network no longer reports out of the
// tree but does not free them: they go, with their subtrees, into a list of detached
// nodes that lives as long as the space. A browse position or any other pointer to such a
// node stays valid; the node keeps its parent, its texts and so its item ID, and can
// still be refreshed, but is no longer reachable from the root. The list grows only by
// nodes that the network removed, which is bounded by how much the network changes.
class CAddrSpace {
public:
    explicit CAddrSpace(BrowseSource source);
    CAddrSpace(const CAddrSpace&) = delete;
    CAddrSpace& operator=(const CAddrSpace&) = delete;
    ~CAddrSpace();

    // A space with the roots that the registry configures. Writes the default value
    // ("<host>=\\.,Network=\") when the key is new; a value that cannot be read gives the
    // single root "Network" with ID component "\\". Registry failures are not reported.
    static std::unique_ptr<CAddrSpace> Build(BrowseSource source, const RootsKeyPath& rootsKey = RootsKeyPath::Default());

    // OPC_NS_HIERARCHIAL.
    DWORD Organization() const noexcept;

    orv::com::CCriticalSection& TreeLock() noexcept { return m_treeLock; }
    // Browse name "<<< ROOT >>>", no delimiter or ID component; its item ID is "".
    CAddrNode& Root() noexcept { return *m_root; }

    // The node whose full item ID `itemId` is, searched depth-first from the root with
    // every level on the way refreshed from the network (once per LookupBatch); null when
    // there is none. The root itself is never the result. Throws std::bad_alloc.
    CAddrNode* Lookup(std::wstring_view itemId);

    // Lists the node's children from the network and merges them into the tree: nodes
    // reported again keep their identity, subtree, type and rights; new ones are added,
    // the others detached (see above). Afterwards the children are in ascending
    // case-insensitive order of ID component. S_OK for a leaf or the root (nothing to
    // list); OPC_E_UNKNOWNITEMID when the network does not know the node's path or no
    // browse interface is available, with the children left as they were. Throws
    // std::bad_alloc, also leaving the children as they were.
    HRESULT Refresh(CAddrNode& node);

    // Nodes taken out of the tree by refreshes so far (top-level subtrees only).
    std::size_t DetachedCount() const;

private:
    CAddrNode* LookupBelow(CAddrNode& node, std::wstring_view rest);
    HRESULT RefreshForLookup(CAddrNode& node);
    std::wstring NetworkPathOf(const CAddrNode& node) const;

    mutable orv::com::CCriticalSection m_treeLock;
    BrowseSource m_source;
    std::unique_ptr<CAddrNode> m_root;
    CAddrNode::ChildList m_detached;
};

}  // namespace twopc::browse
