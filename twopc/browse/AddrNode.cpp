#include "twopc/browse/AddrNode.h"

#include "twopc/browse/LikePattern.h"

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

}  // namespace

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
    m_children->push_back(std::move(child));
    return *m_children->back();
}

void CAddrNode::MakeBranch()
{
    if (!m_children) m_children.emplace();
}

}  // namespace twopc::browse
