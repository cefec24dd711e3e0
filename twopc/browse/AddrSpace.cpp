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

// One child as the network reported it, before it becomes a node: a refresh of a large
// branch usually reports only children that the tree holds already, and those need no node.
struct ReportedChild {
    std::wstring delimiter;
    std::wstring browseName;
    std::wstring idComponent;
    DWORD accessRights = 0;
    VARTYPE canonicalType = VT_EMPTY;
    bool isBranch = false;
};

ReportedChild ChildFromEntry(const link::KelvaneBrowseEntry& entry)
{
    std::wstring name = L"???";
    if (entry.mask & link::kbName) {
        name = entry.name ? entry.name : L"";
        if (name.starts_with(L"\\\\")) name.erase(0, 2);
    }
    const wchar_t delimiterChar = (entry.mask & link::kbDelimiter) ? static_cast<wchar_t>(entry.delimiter) : L'\0';
    ReportedChild child;
    child.delimiter = delimiterChar ? std::wstring(1, delimiterChar) : std::wstring();
    child.isBranch = !((entry.mask & link::kbLeaf) && (entry.flags & 1));
    child.canonicalType =
        link::CanonicalOf((entry.mask & link::kbType) ? std::uint32_t{entry.type} : std::uint32_t{link::kvEmpty});
    child.accessRights = ((entry.mask & link::kbAccess) ? entry.access : kReadWrite) & kReadWrite;
    child.browseName = name;
    child.idComponent = std::move(name);
    if (delimiterChar == L'.') {
        // "(implicit)" is a level the network shows but leaves out of item IDs; a point
        // named "Tank-Level" is addressed as "Tank", the rest only describes it.
        if (child.idComponent == L"(implicit)") {
            child.delimiter.clear();
            child.idComponent.clear();
        } else if (const std::size_t dash = child.idComponent.find(L'-'); dash != std::wstring::npos) {
            child.idComponent.erase(dash);
        }
    }
    return child;
}

std::unique_ptr<CAddrNode> NodeFrom(ReportedChild& child)
{
    return std::make_unique<CAddrNode>(std::move(child.delimiter), std::move(child.browseName),
                                       std::move(child.idComponent), child.accessRights, child.canonicalType,
                                       child.isBranch);
}

// The order of children after a refresh is that of their ID components compared
// case-insensitively the way the user's locale does it (CompareStringW, NORM_IGNORECASE).
// Sort keys give that order byte by byte: one key per child instead of a locale comparison
// per pair, which for a branch of 100,000 points was most of a refresh. A text without a
// key (the mapping failed) sorts first, as one that cannot be compared.
std::string SortKeyOf(std::wstring_view text)
{
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    char buffer[256];
    int bytes = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text.data(), length,
                             reinterpret_cast<LPWSTR>(buffer), sizeof(buffer));
    if (bytes > 0) return std::string(buffer, static_cast<std::size_t>(bytes));
    bytes = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text.data(), length, nullptr, 0);
    if (bytes <= 0) return {};
    std::string key(static_cast<std::size_t>(bytes), '\0');
    bytes = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text.data(), length,
                         reinterpret_cast<LPWSTR>(key.data()), bytes);
    key.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    return key;
}

std::wstring_view IdComponentOf(const CAddrNode& node) noexcept
{
    return node.IdComponent() ? std::wstring_view(*node.IdComponent()) : std::wstring_view();
}

// True when the children reported are exactly the ones the node has, by ID component.
bool SameChildren(const CAddrNode& node, const std::vector<ReportedChild>& reported)
{
    if (node.Children().size() != reported.size()) return false;
    std::vector<bool> matched(reported.size(), false);
    for (const ReportedChild& child : reported) {
        const std::optional<std::size_t> position = node.PositionOfIdComponent(child.idComponent);
        if (!position || matched[*position]) return false;
        matched[*position] = true;
    }
    return true;
}

// Room for `extra` more entries, growing geometrically so that refreshes which detach a
// few nodes each do not reallocate the list every time.
void ReserveMore(CAddrNode::ChildList& list, std::size_t extra)
{
    const std::size_t needed = list.size() + extra;
    if (needed > list.capacity()) list.reserve(std::max(needed, 2 * list.capacity()));
}

// Positions into `keys`, in ascending order of key; among equal keys the first stays first.
std::vector<std::size_t> OrderOfKeys(const std::vector<std::string>& keys)
{
    std::vector<std::size_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto before = [&keys](std::size_t left, std::size_t right) { return keys[left] < keys[right]; };
    // The network usually lists a branch in order already: checking costs one comparison per child.
    if (!std::is_sorted(order.begin(), order.end(), before)) std::stable_sort(order.begin(), order.end(), before);
    return order;
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
    // A child's refresh changes only the child's own list, never this one, so the positions
    // stay valid while the children are searched in their order.
    std::vector<std::size_t> candidates;
    node.CandidatesFor(rest, candidates);
    const auto children = node.Children();
    for (const std::size_t position : candidates) {
        if (CAddrNode* found = LookupBelow(*children[position], rest)) return found;
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

    std::vector<ReportedChild> reported;
    for (;;) {
        link::KelvaneBrowseEntry entry{};
        const HRESULT hr = browser->Next(link::kBrowseFieldsWanted, &entry);
        // Both texts are ours once Next has returned, whatever it returned.
        const orv::com::UniqueBstr name(entry.name);
        const orv::com::UniqueBstr secondName(entry.secondName);
        if (FAILED(hr)) break;
        reported.push_back(ChildFromEntry(entry));
    }
    // Nodes reported again keep what was first learned of them, so a branch that the network
    // reports unchanged is left as it is.
    if (SameChildren(node, reported)) return S_OK;

    // The reported children in order, the first of each run of equal ID components only.
    std::vector<std::string> reportedKeys;
    reportedKeys.reserve(reported.size());
    for (const ReportedChild& child : reported) reportedKeys.push_back(SortKeyOf(child.idComponent));
    std::vector<std::size_t> fresh = OrderOfKeys(reportedKeys);
    fresh.erase(std::unique(fresh.begin(), fresh.end(),
                            [&](std::size_t left, std::size_t right) { return reportedKeys[left] == reportedKeys[right]; }),
                fresh.end());

    const auto children = node.Children();
    std::vector<std::string> knownKeys;
    knownKeys.reserve(children.size());
    for (const auto& child : children) knownKeys.push_back(SortKeyOf(IdComponentOf(*child)));
    const std::vector<std::size_t> known = OrderOfKeys(knownKeys);

    // The merge decided first, and every node it needs made: from the moves on nothing can
    // throw, so no node that a browse object may hold is ever freed.
    enum class Step : unsigned char { AdoptFresh, KeepKnown, DetachKnown };
    std::vector<Step> steps;
    steps.reserve(fresh.size() + known.size());
    std::vector<std::unique_ptr<CAddrNode>> made(reported.size());
    std::size_t kept = 0;
    {
        std::size_t f = 0, k = 0;
        while (f < fresh.size() || k < known.size()) {
            const int order = f == fresh.size()   ? 1
                              : k == known.size() ? -1
                                                  : reportedKeys[fresh[f]].compare(knownKeys[known[k]]);
            if (order < 0) {
                made[fresh[f]] = NodeFrom(reported[fresh[f]]);
                steps.push_back(Step::AdoptFresh);
                ++f;
            } else if (order > 0) {
                steps.push_back(Step::DetachKnown);
                ++k;
            } else {
                // The node already in the tree stays, with its subtree and what was first
                // learned of it; browse positions on it remain where they are.
                steps.push_back(Step::KeepKnown);
                ++kept;
                ++f;
                ++k;
            }
        }
    }
    CAddrNode::ChildList merged;
    merged.reserve(fresh.size());
    ReserveMore(m_detached, known.size() - kept);

    CAddrNode::ChildList previous = std::exchange(*node.m_children, {});
    std::size_t f = 0, k = 0;
    const auto adopt = [&node, &merged](std::unique_ptr<CAddrNode>& child) {
        child->m_parent = &node;
        merged.push_back(std::move(child));
    };
    for (const Step step : steps) {
        switch (step) {
        case Step::AdoptFresh:
            adopt(made[fresh[f++]]);
            break;
        case Step::KeepKnown:
            adopt(previous[known[k++]]);
            ++f;
            break;
        case Step::DetachKnown:
            m_detached.push_back(std::move(previous[known[k++]]));
            break;
        }
    }
    *node.m_children = std::move(merged);
    node.ForgetChildIndex();
    return S_OK;
}

}  // namespace twopc::browse
