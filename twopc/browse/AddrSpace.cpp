#include "twopc/browse/AddrSpace.h"

#include "orv/com/Owners.h"
#include "twopc/link/LinkSession.h"
#include "twopc/link/NetworkValue.h"

#include <opcda.h>

#include <algorithm>
#include <utility>

namespace twopc::browse {
namespace {

using orv::com::CSingleLock;

constexpr DWORD kReadWrite = OPC_READABLE | OPC_WRITEABLE;

// An absent ID component sorts as "". Never a null pointer: CompareStringW refuses those
// even for empty text.
std::wstring_view OrderingKeyOf(const CAddrNode& node) noexcept
{
    return node.IdComponent() ? std::wstring_view(*node.IdComponent()) : std::wstring_view(L"");
}

// The order of children after a refresh: ID components compared case-insensitively the
// way the user's locale does it.
int CompareIdComponents(const CAddrNode& left, const CAddrNode& right) noexcept
{
    const std::wstring_view a = OrderingKeyOf(left);
    const std::wstring_view b = OrderingKeyOf(right);
    const int result = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                                      b.data(), static_cast<int>(b.size()));
    // 0 means the comparison itself failed; that cannot sort one before the other.
    return result == 0 ? 0 : result - CSTR_EQUAL;
}

bool SortsBefore(const std::unique_ptr<CAddrNode>& left, const std::unique_ptr<CAddrNode>& right) noexcept
{
    return CompareIdComponents(*left, *right) < 0;
}

// Sorted, with only the first of each run of equal ID components kept.
CAddrNode::ChildList SortedUnique(CAddrNode::ChildList nodes)
{
    std::stable_sort(nodes.begin(), nodes.end(), SortsBefore);
    auto kept = std::unique(nodes.begin(), nodes.end(), [](const auto& left, const auto& right) {
        return CompareIdComponents(*left, *right) == 0;
    });
    nodes.erase(kept, nodes.end());
    return nodes;
}

// Room for `extra` more entries, growing geometrically so that refreshes which detach a
// few nodes each do not reallocate the list every time.
void ReserveMore(CAddrNode::ChildList& list, std::size_t extra)
{
    const std::size_t needed = list.size() + extra;
    if (needed > list.capacity()) list.reserve(std::max(needed, 2 * list.capacity()));
}

std::unique_ptr<CAddrNode> NodeFromEntry(const link::KelvaneBrowseEntry& entry)
{
    std::wstring name = L"???";
    if (entry.mask & link::kbName) {
        name = entry.name ? entry.name : L"";
        if (name.starts_with(L"\\\\")) name.erase(0, 2);
    }
    const wchar_t delimiterChar = (entry.mask & link::kbDelimiter) ? static_cast<wchar_t>(entry.delimiter) : L'\0';
    std::wstring delimiter = delimiterChar ? std::wstring(1, delimiterChar) : std::wstring();
    const bool isLeaf = (entry.mask & link::kbLeaf) && (entry.flags & 1);
    const VARTYPE canonicalType = link::CanonicalOf((entry.mask & link::kbType) ? std::uint32_t{entry.type} : std::uint32_t{link::kvEmpty});
    const DWORD accessRights = ((entry.mask & link::kbAccess) ? entry.access : kReadWrite) & kReadWrite;

    std::wstring browseName = name;
    std::wstring idComponent = std::move(name);
    if (delimiterChar == L'.') {
        // "(implicit)" is a level the network shows but leaves out of item IDs; a point
        // named "Tank-Level" is addressed as "Tank", the rest only describes it.
        if (idComponent == L"(implicit)") {
            delimiter.clear();
            idComponent.clear();
        } else if (const std::size_t dash = idComponent.find(L'-'); dash != std::wstring::npos) {
            idComponent.erase(dash);
        }
    }
    return std::make_unique<CAddrNode>(std::move(delimiter), std::move(browseName), std::move(idComponent),
                                       accessRights, canonicalType, !isLeaf);
}

}  // namespace

BrowseSource BrowseSource::FromLink()
{
    return BrowseSource{&link::CurrentBrowser, &link::HostMachineName};
}

CAddrSpace::CAddrSpace(BrowseSource source)
    : m_source(std::move(source)),
      m_root(std::make_unique<CAddrNode>(std::nullopt, L"<<< ROOT >>>", std::nullopt, 0, VT_EMPTY, false))
{
}

CAddrSpace::~CAddrSpace() = default;

DWORD CAddrSpace::Organization() const noexcept { return OPC_NS_HIERARCHIAL; }

std::size_t CAddrSpace::DetachedCount() const
{
    CSingleLock hold(m_treeLock);
    return m_detached.size();
}

namespace {

thread_local LookupBatch* t_lookupBatch = nullptr;

}  // namespace

LookupBatch::LookupBatch() noexcept : m_outermost(t_lookupBatch == nullptr)
{
    if (m_outermost) t_lookupBatch = this;
}

LookupBatch::~LookupBatch()
{
    if (m_outermost) t_lookupBatch = nullptr;
}

HRESULT CAddrSpace::RefreshForLookup(CAddrNode& node)
{
    LookupBatch* batch = t_lookupBatch;
    if (!batch) return Refresh(node);
    if (auto done = batch->m_refreshed.find(&node); done != batch->m_refreshed.end()) return done->second;
    const HRESULT result = Refresh(node);
    batch->m_refreshed.emplace(&node, result);
    return result;
}

CAddrNode* CAddrSpace::Lookup(std::wstring_view itemId)
{
    CSingleLock hold(m_treeLock);
    return LookupBelow(*m_root, itemId);
}

CAddrNode* CAddrSpace::LookupBelow(CAddrNode& node, std::wstring_view rest)
{
    // Matching is by prefix, level by level: proc1 is entered for "proc10..." as well, and
    // the search goes on below it. A node without an ID component (the root) consumes
    // nothing and is neither the result nor refreshed.
    if (node.IdComponent()) {
        const std::wstring_view delimiter = node.Delimiter() ? std::wstring_view(*node.Delimiter()) : std::wstring_view();
        if (!rest.starts_with(delimiter)) return nullptr;
        rest.remove_prefix(delimiter.size());
        const std::wstring_view component = *node.IdComponent();
        if (!rest.starts_with(component)) return nullptr;
        rest.remove_prefix(component.size());
        if (rest.empty()) return &node;
        if (node.IsLeaf()) return nullptr;
        if (FAILED(RefreshForLookup(node))) return nullptr;
    }
    // A child's refresh changes only the child's own list, never this one.
    for (const std::unique_ptr<CAddrNode>& child : node.Children()) {
        if (CAddrNode* found = LookupBelow(*child, rest)) return found;
    }
    return nullptr;
}

std::wstring CAddrSpace::NetworkPathOf(const CAddrNode& node) const
{
    std::wstring path = node.FullItemId();
    // "\\." names the local computer, which the network knows only by its name.
    if (path == L"\\\\." || path.starts_with(L"\\\\.\\")) {
        path.replace(0, 3, L"\\\\" + (m_source.hostName ? m_source.hostName() : std::wstring()));
    }
    return path;
}

HRESULT CAddrSpace::Refresh(CAddrNode& node)
{
    CSingleLock hold(m_treeLock);
    if (node.IsLeaf() || !node.Parent()) return S_OK;

    const orv::com::ComPtr<link::IKelvaneBrowser> browser = m_source.browser ? m_source.browser() : nullptr;
    if (!browser) return OPC_E_UNKNOWNITEMID;
    const std::wstring path = NetworkPathOf(node);
    if (FAILED(browser->Open(path.c_str()))) return OPC_E_UNKNOWNITEMID;

    CAddrNode::ChildList reported;
    for (;;) {
        link::KelvaneBrowseEntry entry{};
        const HRESULT hr = browser->Next(link::kBrowseFieldsWanted, &entry);
        // Both texts are ours once Next has returned, whatever it returned.
        const orv::com::UniqueBstr name(entry.name);
        const orv::com::UniqueBstr secondName(entry.secondName);
        if (FAILED(hr)) break;
        reported.push_back(NodeFromEntry(entry));
    }
    reported = SortedUnique(std::move(reported));

    // Everything that can fail to allocate happens before the first child moves: from here
    // on the merge cannot throw, so no node that a browse object may hold is ever freed.
    CAddrNode::ChildList merged;
    merged.reserve(reported.size());
    ReserveMore(m_detached, node.m_children->size());

    CAddrNode::ChildList previous = std::exchange(*node.m_children, {});
    std::stable_sort(previous.begin(), previous.end(), SortsBefore);

    auto fresh = reported.begin();
    auto known = previous.begin();
    auto detach = [this](std::unique_ptr<CAddrNode>& gone) { m_detached.push_back(std::move(gone)); };
    auto adopt = [&node, &merged](std::unique_ptr<CAddrNode>& child) {
        child->m_parent = &node;
        merged.push_back(std::move(child));
    };
    while (fresh != reported.end() && known != previous.end()) {
        const int order = CompareIdComponents(**fresh, **known);
        if (order < 0) {
            adopt(*fresh++);
        } else if (order > 0) {
            detach(*known++);
        } else {
            // The node already in the tree stays, with its subtree and what was first
            // learned of it; browse positions on it remain where they are.
            adopt(*known++);
            ++fresh;
        }
    }
    std::for_each(known, previous.end(), detach);
    std::for_each(fresh, reported.end(), adopt);
    *node.m_children = std::move(merged);
    return S_OK;
}

}  // namespace twopc::browse
