#pragma once
// The one address space of the process, shared by every server instance and browse object.

#include "twopc/browse/AddrSpace.h"

#include <optional>
#include <string>

namespace twopc::browse {

// Null until BuildAddressSpace has run; afterwards the same space for the life of the
// process (it is never destroyed, so nodes handed out stay valid until the process ends).
CAddrSpace* TheAddressSpace() noexcept;

// Builds the space from the registry and publishes it, once: later calls do nothing. The
// server calls it from its first start-up under the start-up lock; it is safe without.
// Never throws: when even the root cannot be made the space stays unbuilt.
void BuildAddressSpace() noexcept;

// What item creation and item properties need to know of the node an item ID names.
struct NodeTypeInfo {
    VARTYPE canonicalType;
    DWORD accessRights;
    bool isLeaf;
    // The browse name, which also serves as the item's description; may be absent.
    std::optional<std::wstring> description;
};

// Looks the ID up in the process's address space (refreshing the levels on the way) and
// describes the node found, leaf or branch: item creation takes any node's type and
// rights, item properties tell points from branches by isLeaf. Empty when the space is
// not built or the ID names no node. Throws std::bad_alloc.
std::optional<NodeTypeInfo> LookUpNodeType(const std::wstring& itemId);

}  // namespace twopc::browse
