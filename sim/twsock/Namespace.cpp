// What the local computer serves: its points, and the browse tree over them.

#include "Namespace.h"


namespace sim {
namespace {

constexpr std::wstring_view kMemoryPrefix = L"mem\\";

PointState Stored(std::uint32_t access, StoredValue initial, std::uint64_t now, std::uint32_t status = 0)
{
    PointState point;
    point.type = static_cast<std::uint16_t>(initial.type);
    point.access = access;
    point.value = std::move(initial);
    point.status = status;
    point.timestamp = now;
    return point;
}

PointState Waveform(ValueSource source, std::uint16_t type)
{
    PointState point;
    point.type = type;
    point.source = source;
    return point;
}

PointState WithoutValue(std::uint32_t access)
{
    PointState point;
    point.access = access;
    point.hasValue = false;
    point.storesWrites = false;
    return point;
}

// One child in a listing. `point` names the point that gives the child its type and access,
// and its item ID; a child without one is a plain container.
struct BrowseNode {
    std::wstring_view parent;  // below "\\HOST", "" for the computer itself
    std::wstring_view name;
    wchar_t delimiter;
    bool leaf;
    std::wstring_view point;
};

constexpr BrowseNode kBrowseTree[] = {
    {L"", L"proc1", L'\\', false, L""},
    {L"", L"proc2", L'\\', false, L""},
    {L"", L"mem", L'\\', false, L""},
    {L"proc1", L"Waveform", L'\\', false, L""},
    {L"proc1", L"Setpoint", L'\\', true, L"proc1\\Setpoint"},
    {L"proc1", L"Label", L'\\', true, L"proc1\\Label"},
    {L"proc1", L"Running", L'\\', true, L"proc1\\Running"},
    {L"proc1", L"Constant", L'\\', true, L"proc1\\Constant"},
    {L"proc1", L"WriteOnly", L'\\', true, L"proc1\\WriteOnly"},
    {L"proc1", L"Silent", L'\\', true, L"proc1\\Silent"},
    {L"proc1", L"Faulty", L'\\', true, L"proc1\\Faulty"},
    {L"proc1\\Waveform", L"sine", L'.', true, L"proc1\\Waveform.sine"},
    {L"proc1\\Waveform", L"cosine", L'.', true, L"proc1\\Waveform.cosine"},
    {L"proc1\\Waveform", L"ramp", L'.', true, L"proc1\\Waveform.ramp"},
    {L"proc1\\Waveform", L"toggle", L'.', true, L"proc1\\Waveform.toggle"},
    // The pump is a point with sub-points: a branch, whose own value is listed as "(implicit)".
    {L"proc2", L"Pump", L'\\', false, L"proc2\\Pump"},
    {L"proc2\\Pump", L"(implicit)", L'.', true, L"proc2\\Pump"},
    {L"proc2\\Pump", L"speed", L'.', true, L"proc2\\Pump.speed"},
    {L"proc2\\Pump", L"Tank-Level", L'.', true, L"proc2\\Pump.Tank"},
};

}  // namespace

std::map<std::wstring, PointState> DefaultPoints(std::uint64_t now)
{
    using kelvane::paReadable;
    using kelvane::paWritable;
    std::map<std::wstring, PointState> points;
    points.emplace(L"proc1\\Waveform.sine", Waveform(ValueSource::Sine, kelvane::vtDouble));
    points.emplace(L"proc1\\Waveform.cosine", Waveform(ValueSource::Cosine, kelvane::vtDouble));
    points.emplace(L"proc1\\Waveform.ramp", Waveform(ValueSource::Ramp, kelvane::vtDouble));
    points.emplace(L"proc1\\Waveform.toggle", Waveform(ValueSource::Toggle, kelvane::vtBool));
    points.emplace(L"proc1\\Setpoint", Stored(paReadable | paWritable, StoredValue::Double(0.0), now));
    points.emplace(L"proc1\\Label", Stored(paReadable | paWritable, StoredValue::Text(L"ready"), now));
    points.emplace(L"proc1\\Running", Stored(paReadable | paWritable, StoredValue::Boolean(true), now));
    points.emplace(L"proc1\\Constant", Stored(paReadable, StoredValue::Double(42.0), now));
    points.emplace(L"proc1\\WriteOnly", WithoutValue(paWritable));
    points.emplace(L"proc1\\Silent", WithoutValue(paReadable));
    points.emplace(L"proc1\\Faulty", Stored(paReadable, StoredValue::Double(0.0), now, SIM_FAULTY_STATUS));
    points.emplace(L"proc2\\Pump", Stored(paReadable, StoredValue::Double(1450.0), now));
    points.emplace(L"proc2\\Pump.speed", Stored(paReadable | paWritable, StoredValue::Double(0.0), now));
    points.emplace(L"proc2\\Pump.Tank", Stored(paReadable | paWritable, StoredValue::Double(0.0), now));
    return points;
}

bool IsMemoryName(std::wstring_view name)
{
    return name.size() > kMemoryPrefix.size() && name.substr(0, kMemoryPrefix.size()) == kMemoryPrefix &&
           name.find(L'\\', kMemoryPrefix.size()) == std::wstring_view::npos;
}

PointState MemoryPoint(std::uint64_t now)
{
    PointState point = Stored(kelvane::paReadable | kelvane::paWritable, StoredValue::Double(0.0), now);
    point.isMemory = true;
    return point;
}

HRESULT Network::ListChildren(const wchar_t* path, std::vector<Child>& children) const
{
    children.clear();
    if (path == std::wstring_view(L"\\")) {
        children.push_back({L"\\\\" + host_, L'\\', false, kelvane::vtEmpty, 0, L"\\\\" + host_});
        return S_OK;
    }
    const std::optional<std::wstring> below = BelowLocalHost(path);
    if (!below) return kelvane::KELVANE_E_UNKNOWNPATH;

    std::scoped_lock lock(mutex_);
    const auto describe = [&](Child& child, std::wstring_view pointName) {
        const PointState* point = FindLocked(std::wstring(pointName));
        child.type = point->type;
        child.access = static_cast<std::uint16_t>(point->access);
        child.itemId = ItemIdOf(std::wstring(pointName));
    };
    if (*below == L"mem") {
        for (auto found = points_.lower_bound(std::wstring(kMemoryPrefix));
             found != points_.end() && IsMemoryName(found->first); ++found) {
            Child& child = children.emplace_back();
            child.name = found->first.substr(kMemoryPrefix.size());
            child.leaf = true;
            describe(child, found->first);
        }
        return S_OK;
    }
    if (*below == L"bench") {
        if (!benchListed_) return kelvane::KELVANE_E_UNKNOWNPATH;
        children.reserve(benchPoints_.size());
        for (const PointState& point : benchPoints_) {
            Child& child = children.emplace_back();
            child.name = L"p" + std::to_wstring(point.benchIndex);
            child.leaf = true;
            child.type = point.type;
            child.access = static_cast<std::uint16_t>(point.access);
            child.itemId = ItemIdOf(L"bench\\" + child.name);
        }
        return S_OK;
    }
    if (below->empty() && benchListed_) {
        children.push_back({L"bench", L'\\', false, kelvane::vtEmpty, 0, ItemIdOf(L"bench")});
    }
    for (const BrowseNode& node : kBrowseTree) {
        if (node.parent != *below) continue;
        Child& child = children.emplace_back();
        child.name = node.name;
        child.delimiter = node.delimiter;
        child.leaf = node.leaf;
        if (!node.point.empty()) {
            describe(child, node.point);
        } else {
            const std::wstring name(node.name);
            child.itemId = ItemIdOf(below->empty() ? name : *below + node.delimiter + name);
        }
    }
    return children.empty() ? kelvane::KELVANE_E_UNKNOWNPATH : S_OK;
}

std::optional<std::wstring> Network::BrowseKey(const wchar_t* branch) const
{
    const std::wstring_view path(branch);
    if (path == L"\\") return std::wstring(path);
    if (!path.starts_with(L"\\\\")) return std::wstring(path);
    return BelowLocalHost(branch);
}

std::optional<BrowseFailure> Network::BrowseFailureFor(const wchar_t* path) const
{
    const std::optional<std::wstring> key = BrowseKey(path);
    if (!key) return std::nullopt;
    std::scoped_lock lock(mutex_);
    const auto found = browseFailures_.find(*key);
    if (found == browseFailures_.end()) return std::nullopt;
    return found->second;
}

HRESULT Network::FailBrowse(const wchar_t* branch, UINT afterEntries, HRESULT failure)
{
    if (SUCCEEDED(failure) && failure != S_OK) return E_INVALIDARG;
    const std::optional<std::wstring> key = BrowseKey(branch);
    if (!key) return kelvane::KELVANE_E_UNKNOWNPATH;
    if (failure == S_OK) {
        std::scoped_lock lock(mutex_);
        browseFailures_.erase(*key);
        return S_OK;
    }
    // Checked through the very path that Open would list, so that a misspelt branch in a test
    // is refused here rather than never failing.
    std::vector<Child> children;
    const std::wstring path = *key == L"\\" ? *key : key->empty() ? L"\\\\" + host_ : ItemIdOf(*key);
    if (const HRESULT hr = ListChildren(path.c_str(), children); FAILED(hr)) return hr;
    std::scoped_lock lock(mutex_);
    browseFailures_.insert_or_assign(*key, BrowseFailure{afterEntries, failure});
    return S_OK;
}

}  // namespace sim
