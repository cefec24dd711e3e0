#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace twopc::browse {

class CAddrSpace;

// One node of the address-space tree: a configured root, a branch or a point (leaf) of
// the network. A node without a child list is a leaf; an empty list still makes a branch.
// Its item ID is never stored: it is composed from the delimiters and ID components on
// the path from the root.
//
// Absent text (std::nullopt) and empty text are different states: a node whose ID
// component is absent is skipped over by lookups without being matched or refreshed,
// while an empty component is matched (consuming nothing) and refreshed like any other.
//
// Threading: a node in a published tree is read and changed only while its space's
// TreeLock() is held. Nodes are never freed while their space lives, even when a refresh
// takes them out of the tree, so a pointer to a node stays valid (see CAddrSpace).
class CAddrNode {
public:
    using Text = std::optional<std::wstring>;
    using ChildList = std::vector<std::unique_ptr<CAddrNode>>;

    CAddrNode(Text delimiter, Text browseName, Text idComponent, DWORD accessRights, VARTYPE canonicalType,
              bool isBranch);
    ~CAddrNode();
    CAddrNode(const CAddrNode&) = delete;
    CAddrNode& operator=(const CAddrNode&) = delete;

    CAddrNode* Parent() const noexcept { return m_parent; }
    bool IsLeaf() const noexcept { return !m_children.has_value(); }
    // Empty for a leaf.
    std::span<const std::unique_ptr<CAddrNode>> Children() const noexcept;
    DWORD AccessRights() const noexcept { return m_accessRights; }
    VARTYPE CanonicalType() const noexcept { return m_canonicalType; }
    const Text& Delimiter() const noexcept { return m_delimiter; }
    const Text& BrowseName() const noexcept { return m_browseName; }
    const Text& IdComponent() const noexcept { return m_idComponent; }

    // What browsing shows and filters on: the browse name, else the ID component, else "".
    std::wstring_view DisplayName() const noexcept;

    std::wstring FullItemId() const;
    // Characters to reserve for FullItemId(), terminator not counted. The delimiter of a
    // level without an ID component counts too, so this may exceed the ID's length.
    std::size_t FullItemIdLength() const noexcept;

    // The positions, ascending, of the children whose delimiter and ID component begin
    // `rest` (a child without an ID component always qualifies): the only children under
    // which an item ID search for `rest` can succeed. A long list is indexed by ID
    // component on first use after it changed, so that a search in a branch of many
    // thousand points does not compare every one of them.
    void CandidatesFor(std::wstring_view rest, std::vector<std::size_t>& positions) const;

    // The position of the first child whose ID component is exactly `idComponent`.
    std::optional<std::size_t> PositionOfIdComponent(std::wstring_view idComponent) const;

    // The first child whose DisplayName() equals `name` exactly (case-sensitive). Does not
    // refresh: it sees the children as the last visit left them.
    CAddrNode* FindChild(std::wstring_view name) const noexcept;

    // The Like pattern (see LikePattern.h) applied to DisplayName(). Filter and name are
    // compared as narrow text in the thread's ANSI code page; text that cannot be converted
    // counts as "".
    bool Matches(std::wstring_view filter) const;

    // Makes this node a branch if it is not one yet; returns the child.
    CAddrNode& AppendChild(std::unique_ptr<CAddrNode> child);
    void MakeBranch();

private:
    friend class CAddrSpace;
    struct ChildIndex;

    // Called whenever the child list changes.
    void ForgetChildIndex() noexcept;
    // Null for a list short enough to be compared child by child.
    const ChildIndex* IndexOfChildren() const;

    CAddrNode* m_parent = nullptr;
    DWORD m_accessRights;
    VARTYPE m_canonicalType;
    Text m_delimiter;
    Text m_browseName;
    Text m_idComponent;
    // Refers to the children's texts, so it goes before them.
    mutable std::unique_ptr<ChildIndex> m_childIndex;
    // Declared last so that a node's children are destroyed before its own texts.
    std::optional<ChildList> m_children;
};

}  // namespace twopc::browse
