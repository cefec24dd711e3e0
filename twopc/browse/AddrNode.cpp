#include "twopc/browse/AddrNode.h"

#include "twopc/browse/LikePattern.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace twopc::browse {
namespace {

std::size_t LengthOf(const CAddrNode::Text& text) noexcept { return text ? text->size() : 0; }

// Narrow text in the thread's ANSI code page; "" when the text cannot be converted.
std::string ToThreadAnsi(std::wstring_view text)
{
    if (text.empty()) return {};
    const int wideLength = static_cast<int>(text.size());
    const int narrowLength =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (narrowLength <= 0) return {};
    std::string narrow(static_cast<std::size_t>(narrowLength), '\0');
    const int written =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wideLength, narrow.data(), narrowLength, nullptr, nullptr);
    if (written <= 0) return {};
    narrow.resize(static_cast<std::size_t>(written));
    return narrow;
}

// Lists shorter than this are compared child by child: an index would cost more than it saves.
constexpr std::size_t kIndexedChildren = 64;

}  // namespace

struct CAddrNode::ChildIndex {
    // Views of the children's own ID components, which never change while the node lives.
    std::unordered_multimap<std::wstring_view, std::size_t> byComponent;
    // Children without an ID component: candidates for every search.
    std::vector<std::size_t> withoutComponent;
    // The distinct delimiters ("" for none) and ID component lengths among the children.
    std::vector<std::wstring_view> delimiters;
    std::vector<std::size_t> componentLengths;

    explicit ChildIndex(const ChildList& children)
    {
        byComponent.reserve(children.size());
        for (std::size_t position = 0; position < children.size(); ++position) {
            const CAddrNode& child = *children[position];
            if (!child.m_idComponent) {
                withoutComponent.push_back(position);
                continue;
            }
            byComponent.emplace(*child.m_idComponent, position);
            AddDistinct(delimiters, DelimiterOf(child));
            AddDistinct(componentLengths, child.m_idComponent->size());
        }
    }

    static std::wstring_view DelimiterOf(const CAddrNode& node) noexcept
    {
        return node.m_delimiter ? std::wstring_view(*node.m_delimiter) : std::wstring_view();
    }

    template <class T>
    static void AddDistinct(std::vector<T>& values, const T& value)
    {
        if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
    }
};

CAddrNode::CAddrNode(Text delimiter, Text browseName, Text idComponent, DWORD accessRights, VARTYPE canonicalType,
                     bool isBranch)
    : m_accessRights(accessRights),
      m_canonicalType(canonicalType),
      m_delimiter(std::move(delimiter)),
      m_browseName(std::move(browseName)),
      m_idComponent(std::move(idComponent))
{
    if (isBranch) m_children.emplace();
}

CAddrNode::~CAddrNode() = default;

void CAddrNode::ForgetChildIndex() noexcept
{
    m_childIndex.reset();
}

std::span<const std::unique_ptr<CAddrNode>> CAddrNode::Children() const noexcept
{
    if (!m_children) return {};
    return {m_children->data(), m_children->size()};
}

std::wstring_view CAddrNode::DisplayName() const noexcept
{
    if (m_browseName) return *m_browseName;
    if (m_idComponent) return *m_idComponent;
    return {};
}

std::wstring CAddrNode::FullItemId() const
{
    std::wstring id;
    id.reserve(FullItemIdLength());
    // Collect the path bottom-up, then write it top-down.
    std::vector<const CAddrNode*> path;
    for (const CAddrNode* node = this; node->m_parent; node = node->m_parent) path.push_back(node);
    for (auto level = path.rbegin(); level != path.rend(); ++level) {
        const CAddrNode& node = **level;
        if (!node.m_idComponent || node.m_idComponent->empty()) continue;
        if (node.m_delimiter) id += *node.m_delimiter;
        id += *node.m_idComponent;
    }
    return id;
}

std::size_t CAddrNode::FullItemIdLength() const noexcept
{
    std::size_t length = 0;
    for (const CAddrNode* node = this; node; node = node->m_parent) {
        length += LengthOf(node->m_idComponent) + LengthOf(node->m_delimiter);
    }
    return length;
}

const CAddrNode::ChildIndex* CAddrNode::IndexOfChildren() const
{
    if (!m_children || m_children->size() < kIndexedChildren) return nullptr;
    if (!m_childIndex) m_childIndex = std::make_unique<ChildIndex>(*m_children);
    return m_childIndex.get();
}

std::optional<std::size_t> CAddrNode::PositionOfIdComponent(std::wstring_view idComponent) const
{
    const auto children = Children();
    if (const ChildIndex* index = IndexOfChildren()) {
        std::optional<std::size_t> first;
        const auto [begin, end] = index->byComponent.equal_range(idComponent);
        for (auto entry = begin; entry != end; ++entry)
            if (!first || entry->second < *first) first = entry->second;
        return first;
    }
    for (std::size_t position = 0; position < children.size(); ++position)
        if (children[position]->m_idComponent && *children[position]->m_idComponent == idComponent) return position;
    return std::nullopt;
}

void CAddrNode::CandidatesFor(std::wstring_view rest, std::vector<std::size_t>& positions) const
{
    positions.clear();
    const auto children = Children();
    const auto begins = [rest](const CAddrNode& child) {
        const std::wstring_view delimiter = ChildIndex::DelimiterOf(child);
        return !child.m_idComponent ||
               (rest.starts_with(delimiter) && rest.substr(delimiter.size()).starts_with(*child.m_idComponent));
    };
    const ChildIndex* indexed = IndexOfChildren();
    if (!indexed) {
        for (std::size_t position = 0; position < children.size(); ++position)
            if (begins(*children[position])) positions.push_back(position);
        return;
    }
    const ChildIndex& index = *indexed;
    positions = index.withoutComponent;
    for (const std::wstring_view delimiter : index.delimiters) {
        if (!rest.starts_with(delimiter)) continue;
        const std::wstring_view tail = rest.substr(delimiter.size());
        for (const std::size_t length : index.componentLengths) {
            if (length > tail.size()) continue;
            const auto [first, last] = index.byComponent.equal_range(tail.substr(0, length));
            for (auto entry = first; entry != last; ++entry)
                if (ChildIndex::DelimiterOf(*children[entry->second]) == delimiter) positions.push_back(entry->second);
        }
    }
    std::sort(positions.begin(), positions.end());
}

CAddrNode* CAddrNode::FindChild(std::wstring_view name) const noexcept
{
    for (const std::unique_ptr<CAddrNode>& child : Children()) {
        if (child->DisplayName() == name) return child.get();
    }
    return nullptr;
}

bool CAddrNode::Matches(std::wstring_view filter) const
{
    return MatchesLikePattern(ToThreadAnsi(DisplayName()), ToThreadAnsi(filter));
}

CAddrNode& CAddrNode::AppendChild(std::unique_ptr<CAddrNode> child)
{
    MakeBranch();
    child->m_parent = this;
    ForgetChildIndex();
    m_children->push_back(std::move(child));
    return *m_children->back();
}

void CAddrNode::MakeBranch()
{
    if (!m_children) m_children.emplace();
}

}  // namespace twopc::browse
