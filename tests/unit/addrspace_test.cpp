#include <doctest.h>

#include <windows.h>
#include <opcda.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "twopc/browse/AddrSpace.h"
#include "twopc/browse/ProcessAddressSpace.h"

#include "ScratchRootsKey.h"

using orv::com::ComPtr;
using twopc::browse::BrowseSource;
using twopc::browse::CAddrNode;
using twopc::browse::CAddrSpace;
using twopc::browse::RootsKeyPath;
namespace link = twopc::link;

namespace {

// The names here are ASCII.
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One child as the fake network reports it; an absent field is left out of the mask.
struct FakeEntry {
    std::optional<std::wstring> name;
    std::optional<wchar_t> delimiter;
    std::optional<bool> leaf;
    std::optional<std::uint16_t> type;
    std::optional<std::uint16_t> access;
};

FakeEntry Branch(const wchar_t* name, wchar_t delimiter = L'\\') { return {name, delimiter, false, {}, {}}; }
FakeEntry Leaf(const wchar_t* name, wchar_t delimiter, std::uint16_t type, std::uint16_t access)
{
    return {name, delimiter, true, type, access};
}

// A browse interface serving listings from a table keyed by the path given to Open. It
// counts Opens per path and notices when a second listing starts before the first one
// has been read to its end.
class FakeNetwork final : public link::IKelvaneBrowser {
public:
    std::map<std::wstring, std::vector<FakeEntry>> listings;

    int Opens(const std::wstring& path)
    {
        std::scoped_lock hold(m_lock);
        return m_opens[path];
    }
    int TotalOpens()
    {
        std::scoped_lock hold(m_lock);
        int total = 0;
        for (const auto& [path, count] : m_opens) total += count;
        return total;
    }
    bool ListingsInterleaved() const { return m_interleaved; }

    BrowseSource Source()
    {
        return BrowseSource{[this] { return ComPtr<link::IKelvaneBrowser>(this); }, [] { return std::wstring(L"ALPHA"); }};
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }

    HRESULT STDMETHODCALLTYPE Open(const wchar_t* path) override
    {
        std::scoped_lock hold(m_lock);
        ++m_opens[path];
        if (m_reading) m_interleaved = true;
        auto found = listings.find(path);
        if (found == listings.end()) return E_FAIL;
        m_listing = &found->second;
        m_cursor = 0;
        m_reading = true;
        m_reader = std::this_thread::get_id();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Next(std::uint32_t wanted, link::KelvaneBrowseEntry* entry) override
    {
        std::this_thread::yield();
        std::scoped_lock hold(m_lock);
        if (wanted != link::kBrowseFieldsWanted || m_reader != std::this_thread::get_id()) m_interleaved = true;
        if (!m_listing || m_cursor >= m_listing->size()) {
            m_reading = false;
            return E_FAIL;
        }
        const FakeEntry& child = (*m_listing)[m_cursor++];
        *entry = {};
        entry->secondName = SysAllocString(L"unused");
        // Each field present in the table is set and announced in the mask.
        auto present = [&](std::uint32_t bit, bool has) {
            if (has) entry->mask |= bit;
            return has;
        };
        if (present(link::kbName, child.name.has_value())) entry->name = SysAllocString(child.name->c_str());
        if (present(link::kbDelimiter, child.delimiter.has_value())) entry->delimiter = *child.delimiter;
        if (present(link::kbLeaf, child.leaf.has_value())) entry->flags = *child.leaf ? 1 : 0;
        if (present(link::kbType, child.type.has_value())) entry->type = *child.type;
        if (present(link::kbAccess, child.access.has_value())) entry->access = *child.access;
        return S_OK;
    }

private:
    std::mutex m_lock;
    std::map<std::wstring, int> m_opens;
    const std::vector<FakeEntry>* m_listing = nullptr;
    std::size_t m_cursor = 0;
    bool m_reading = false;
    std::thread::id m_reader;
    std::atomic<bool> m_interleaved{false};
    std::atomic<ULONG> m_references{0};
};

std::unique_ptr<CAddrNode> Root(const wchar_t* name, CAddrNode::Text id)
{
    return std::make_unique<CAddrNode>(std::wstring(), name, std::move(id), 3, VT_EMPTY, true);
}

// The roots of the default registry value, over a small network:
//   \\.  (\\ALPHA) proc1 > Waveform > cosine, sine;  proc10 > x;  proc2 > Pump > (implicit), speed
//   \    HOST2
struct DefaultTree {
    FakeNetwork network;
    CAddrSpace space{network.Source()};
    CAddrNode& local = space.Root().AppendChild(Root(L"ALPHA", L"\\\\."));
    CAddrNode& wholeNetwork = space.Root().AppendChild(Root(L"Network", L"\\"));

    DefaultTree()
    {
        network.listings = {
            {L"\\\\ALPHA", {Branch(L"proc1"), Branch(L"proc10"), Branch(L"proc2")}},
            {L"\\\\ALPHA\\proc1", {Branch(L"Waveform")}},
            {L"\\\\ALPHA\\proc1\\Waveform", {Leaf(L"cosine", L'.', link::kvDouble, 1), Leaf(L"sine", L'.', link::kvDouble, 3)}},
            {L"\\\\ALPHA\\proc10", {Leaf(L"x", L'\\', link::kvBool, 3)}},
            {L"\\\\ALPHA\\proc2", {Branch(L"Pump")}},
            {L"\\\\ALPHA\\proc2\\Pump", {Leaf(L"(implicit)", L'.', link::kvDouble, 3), Leaf(L"speed", L'.', link::kvDouble, 3)}},
            {L"\\", {Branch(L"\\\\HOST2")}},
        };
    }

    std::vector<std::wstring> ChildNames(const CAddrNode& node)
    {
        std::vector<std::wstring> names;
        for (const auto& child : node.Children()) names.emplace_back(child->DisplayName());
        return names;
    }
};

}  // namespace

TEST_CASE("Full item IDs concatenate delimiter and ID component from the root down")
{
    DefaultTree tree;
    CHECK(tree.space.Root().FullItemId() == L"");
    CHECK(tree.space.Root().FullItemIdLength() == 0);
    CHECK(tree.local.FullItemId() == L"\\\\.");
    CHECK(tree.wholeNetwork.FullItemId() == L"\\");

    SUBCASE("a level with an empty ID component adds nothing, but its delimiter is counted") {
        CAddrNode& silent = tree.local.AppendChild(std::make_unique<CAddrNode>(L".", L"(implicit)", L"", 3, VT_EMPTY, true));
        CAddrNode& below = silent.AppendChild(std::make_unique<CAddrNode>(L"\\", L"x", L"x", 3, VT_R8, false));
        CHECK(silent.FullItemId() == L"\\\\.");
        CHECK(below.FullItemId() == L"\\\\.\\x");
        CHECK(below.FullItemIdLength() == 6);
        CHECK(below.Parent() == &silent);
        CHECK(below.IsLeaf());
    }
    SUBCASE("\\\\HOST2 is \\\\HOST2 under the network root and \\\\\\HOST2 under the fallback root") {
        REQUIRE(tree.space.Refresh(tree.wholeNetwork) == S_OK);
        CAddrNode* host = tree.wholeNetwork.FindChild(L"HOST2");
        REQUIRE(host);
        CHECK(host->FullItemId() == L"\\\\HOST2");

        CAddrNode& fallback = tree.space.Root().AppendChild(Root(L"Network", L"\\\\"));
        tree.network.listings[L"\\\\"] = {Branch(L"\\\\HOST2")};
        REQUIRE(tree.space.Refresh(fallback) == S_OK);
        REQUIRE(fallback.Children().size() == 1);
        CHECK(fallback.Children()[0]->FullItemId() == L"\\\\\\HOST2");
    }
}

TEST_CASE("Lookup descends by prefix and refreshes only the levels on the path")
{
    DefaultTree tree;

    SUBCASE("the empty ID finds nothing, not even the root") {
        CHECK(tree.space.Lookup(L"") == nullptr);
    }
    SUBCASE("a root is found without listing it") {
        CHECK(tree.space.Lookup(L"\\\\.") == &tree.local);
        CHECK(tree.network.TotalOpens() == 0);
    }
    SUBCASE("a point deep down: each level on the way is listed once, the local name replaced") {
        CAddrNode* cosine = tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cosine");
        REQUIRE(cosine);
        CHECK(cosine->DisplayName() == L"cosine");
        CHECK(cosine->CanonicalType() == VT_R8);
        CHECK(cosine->AccessRights() == OPC_READABLE);
        CHECK(tree.network.Opens(L"\\\\ALPHA") == 1);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1") == 1);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1\\Waveform") == 1);
        CHECK(tree.network.TotalOpens() == 3);

        CHECK(tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cosine") == cosine);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1\\Waveform") == 2);
    }
    SUBCASE("proc1 is entered for proc10, but the levels below it that do not match are not listed") {
        CAddrNode* x = tree.space.Lookup(L"\\\\.\\proc10\\x");
        REQUIRE(x);
        CHECK(x->FullItemId() == L"\\\\.\\proc10\\x");
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1") == 1);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1\\Waveform") == 0);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc10") == 1);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc2") == 0);
    }
    SUBCASE("an ID that stops inside a leaf's component or runs on past a leaf finds nothing") {
        CHECK(tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cos") == nullptr);
        CHECK(tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cosine2") == nullptr);
        CHECK(tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cosine.x") == nullptr);
    }
    SUBCASE("components and delimiters compare case-sensitively") {
        CHECK(tree.space.Lookup(L"\\\\.\\PROC1\\Waveform.cosine") == nullptr);
        CHECK(tree.space.Lookup(L"\\\\.\\proc1/Waveform") == nullptr);
    }
    SUBCASE("a branch is found itself when the ID ends with it, before its (implicit) child") {
        CAddrNode* pump = tree.space.Lookup(L"\\\\.\\proc2\\Pump");
        REQUIRE(pump);
        CHECK_FALSE(pump->IsLeaf());
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc2\\Pump") == 0);
        CHECK(tree.space.Lookup(L"\\\\.\\proc2\\Pump.speed") != nullptr);
    }
    SUBCASE("a level the network does not know ends the search there") {
        tree.network.listings.erase(L"\\\\ALPHA\\proc1");
        CHECK(tree.space.Lookup(L"\\\\.\\proc1\\Waveform.cosine") == nullptr);
        CHECK(tree.network.Opens(L"\\\\ALPHA\\proc1") == 1);
    }
}

TEST_CASE("FindChild compares the browse name exactly, unlisted; filters match the browse name, else the ID")
{
    DefaultTree tree;
    CHECK(tree.space.Root().FindChild(L"Network") == &tree.wholeNetwork);
    CHECK(tree.space.Root().FindChild(L"network") == nullptr);
    CHECK(tree.space.Root().FindChild(L"\\\\.") == nullptr);

    CAddrNode& unnamed = tree.space.Root().AppendChild(std::make_unique<CAddrNode>(L"", std::nullopt, L"id", 3, VT_EMPTY, true));
    CHECK(tree.space.Root().FindChild(L"id") == &unnamed);
    CHECK(tree.network.TotalOpens() == 0);

    // The matcher itself is compared with a model in model_like_test.
    CAddrNode tank(L".", L"Tank-Level", L"Tank", 3, VT_R8, false);
    CHECK(tank.Matches(L"Tank-*"));
    CHECK_FALSE(tank.Matches(L"Tank"));
    CAddrNode byId(L".", std::nullopt, L"Tank", 3, VT_R8, false);
    CHECK(byId.Matches(L"Tank"));
    CHECK(byId.Matches(L"*"));
    CHECK_FALSE(byId.Matches(L""));
}

TEST_CASE("Refresh turns browse entries into nodes")
{
    DefaultTree tree;
    // The first child after a refresh with `entries`: leaf or branch, type, rights, browse
    // name, delimiter, ID component and full item ID; "-" for an absent text.
    auto refreshWith = [&](std::vector<FakeEntry> entries) {
        tree.network.listings[L"\\\\ALPHA"] = std::move(entries);
        REQUIRE(tree.space.Refresh(tree.local) == S_OK);
        REQUIRE(tree.local.Children().size() >= 1);
        const CAddrNode& node = *tree.local.Children()[0];
        CHECK(node.Parent() == &tree.local);
        auto text = [](const CAddrNode::Text& t) { return t ? "'" + Narrow(*t) + "'" : std::string("-"); };
        return std::string(node.IsLeaf() ? "leaf " : "branch ") + std::to_string(node.CanonicalType()) + " " +
               std::to_string(node.AccessRights()) + " " + text(node.BrowseName()) + " " + text(node.Delimiter()) +
               " " + text(node.IdComponent()) + " " + text(node.FullItemId());
    };

    CHECK(refreshWith({Leaf(L"level", L'\\', link::kvDouble, 1)}) == R"(leaf 5 1 'level' '\' 'level' '\\.\level')");
    // Missing fields: name ???, no delimiter, a branch, VT_EMPTY, read and write.
    CHECK(refreshWith({FakeEntry{}}) == R"(branch 0 3 '???' '' '???' '\\.???')");
    // Access bits beyond read and write are dropped; the leaf flag needs its mask bit.
    CHECK(refreshWith({FakeEntry{L"p", L'\\', std::nullopt, link::kvBool, 0xFF}}) ==
          R"(branch 11 3 'p' '\' 'p' '\\.\p')");
    // (implicit) under a point delimiter adds nothing to the ID; under a backslash it is a name.
    CHECK(refreshWith({Leaf(L"(implicit)", L'.', link::kvDouble, 3)}) == R"(leaf 5 3 '(implicit)' '' '' '\\.')");
    CHECK(refreshWith({Branch(L"(implicit)")}) == R"(branch 0 3 '(implicit)' '\' '(implicit)' '\\.\(implicit)')");
    // Tank-Level under a point delimiter is addressed as Tank.
    CHECK(refreshWith({Leaf(L"Tank-Level", L'.', link::kvDouble, 3)}) ==
          R"(leaf 5 3 'Tank-Level' '.' 'Tank' '\\..Tank')");
    CHECK(refreshWith({Branch(L"Tank-Level")}) == R"(branch 0 3 'Tank-Level' '\' 'Tank-Level' '\\.\Tank-Level')");
    // The network's leading double backslash is not part of the name.
    CHECK(refreshWith({Branch(L"\\\\HOST2")}) == R"(branch 0 3 'HOST2' '\' 'HOST2' '\\.\HOST2')");
    CHECK(refreshWith({Branch(L"\\x")}) == R"(branch 0 3 '\x' '\' '\x' '\\.\\x')");
}

TEST_CASE("Refresh merges the listing into the children")
{
    DefaultTree tree;
    CAddrNode& branch = tree.local;
    auto& listing = tree.network.listings[L"\\\\ALPHA"];

    SUBCASE("children are sorted case-insensitively; of two case-equal names the first wins") {
        listing = {Branch(L"b"), Branch(L"Pump"), Branch(L"A"), Branch(L"PUMP"), Branch(L"c")};
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        CHECK(tree.ChildNames(branch) == std::vector<std::wstring>{L"A", L"b", L"c", L"Pump"});
    }
    SUBCASE("a second refresh keeps the nodes it reports again, with their subtrees") {
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        CAddrNode* proc1 = branch.FindChild(L"proc1");
        CAddrNode* proc2 = branch.FindChild(L"proc2");
        REQUIRE(tree.space.Refresh(*proc1) == S_OK);
        CAddrNode* waveform = proc1->FindChild(L"Waveform");
        REQUIRE(waveform);

        listing = {Leaf(L"PROC1", L'\\', link::kvBool, 1), Branch(L"proc3"), Branch(L"proc10")};
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        CHECK(tree.ChildNames(branch) == std::vector<std::wstring>{L"proc1", L"proc10", L"proc3"});
        CHECK(branch.Children()[0].get() == proc1);
        CHECK_FALSE(proc1->IsLeaf());
        CHECK(proc1->CanonicalType() == VT_EMPTY);
        CHECK(proc1->FindChild(L"Waveform") == waveform);

        SUBCASE("a node no longer reported is detached but stays readable for whoever holds it") {
            CHECK(tree.space.DetachedCount() == 1);
            CHECK(branch.FindChild(L"proc2") == nullptr);
            CHECK(proc2->Parent() == &branch);
            CHECK(proc2->FullItemId() == L"\\\\.\\proc2");
            CHECK(tree.space.Refresh(*proc2) == S_OK);
            CHECK(tree.ChildNames(*proc2) == std::vector<std::wstring>{L"Pump"});
        }
    }
    SUBCASE("a failed Open leaves the children as they were") {
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        const CAddrNode* first = branch.Children()[0].get();
        tree.network.listings.erase(L"\\\\ALPHA");
        CHECK(tree.space.Refresh(branch) == OPC_E_UNKNOWNITEMID);
        REQUIRE(branch.Children().size() == 3);
        CHECK(branch.Children()[0].get() == first);
        CHECK(tree.space.DetachedCount() == 0);
    }
    SUBCASE("an empty listing empties the branch, which stays a branch") {
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        listing.clear();
        REQUIRE(tree.space.Refresh(branch) == S_OK);
        CHECK(branch.Children().empty());
        CHECK_FALSE(branch.IsLeaf());
        CHECK(tree.space.DetachedCount() == 3);
    }
    SUBCASE("the root and leaves have nothing to list") {
        CHECK(tree.space.Refresh(tree.space.Root()) == S_OK);
        CAddrNode& leaf = branch.AppendChild(std::make_unique<CAddrNode>(L"\\", L"p", L"p", 3, VT_R8, false));
        CHECK(tree.space.Refresh(leaf) == S_OK);
        CHECK(tree.network.TotalOpens() == 0);
        CHECK(tree.ChildNames(tree.space.Root()) == std::vector<std::wstring>{L"ALPHA", L"Network"});
    }
}

TEST_CASE("Concurrent lookups never interleave two listings")
{
    DefaultTree tree;
    std::vector<std::thread> clients;
    std::atomic<int> misses{0};
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            const wchar_t* id = (t % 2) ? L"\\\\.\\proc2\\Pump.speed" : L"\\\\.\\proc1\\Waveform.sine";
            for (int i = 0; i < 25; ++i) {
                if (!tree.space.Lookup(id)) ++misses;
            }
        });
    }
    for (std::thread& client : clients) client.join();
    CHECK(misses == 0);
    CHECK_FALSE(tree.network.ListingsInterleaved());
    CHECK(tree.network.Opens(L"\\\\ALPHA") == 100);
}

TEST_CASE("Build takes the roots from the registry")
{
    twopc::test::ScratchRootsKey key("twopc-addrspace-test-");
    FakeNetwork network;
    auto rootsOf = [](CAddrSpace& space) {
        std::vector<std::pair<std::wstring, CAddrNode::Text>> roots;
        for (const auto& root : space.Root().Children()) roots.emplace_back(root->DisplayName(), root->IdComponent());
        return roots;
    };
    using Roots = std::vector<std::pair<std::wstring, CAddrNode::Text>>;

    SUBCASE("a new key gets the default value: the host as \\\\. and the whole network") {
        auto space = CAddrSpace::Build(network.Source(), key.Path());
        CHECK(key.Value() == "ALPHA=\\\\.,Network=\\");
        CHECK(rootsOf(*space) == Roots{{L"ALPHA", L"\\\\."}, {L"Network", L"\\"}});
        const CAddrNode& local = *space->Root().Children()[0];
        CHECK(*local.Delimiter() == L"");
        CHECK(local.AccessRights() == 3);
        CHECK(local.CanonicalType() == VT_EMPTY);
        CHECK_FALSE(local.IsLeaf());
        CHECK(space->Organization() == OPC_NS_HIERARCHIAL);

        SUBCASE("and a build in the next process reads it back unchanged") {
            auto again = CAddrSpace::Build(BrowseSource{{}, [] { return std::wstring(L"BETA"); }}, key.Path());
            CHECK(rootsOf(*again) == Roots{{L"ALPHA", L"\\\\."}, {L"Network", L"\\"}});
        }
    }
    SUBCASE("an existing key without the value gives the fallback root") {
        key.Create(nullptr);
        auto space = CAddrSpace::Build(network.Source(), key.Path());
        CHECK(rootsOf(*space) == Roots{{L"Network", L"\\\\"}});
        CHECK(key.Value() == std::nullopt);
    }
    SUBCASE("a value of another type gives the fallback root") {
        key.Create("A=\\\\x", REG_EXPAND_SZ);
        CHECK(rootsOf(*CAddrSpace::Build(network.Source(), key.Path())) == Roots{{L"Network", L"\\\\"}});
    }
    SUBCASE("a key that cannot be opened gives the fallback root and writes nothing") {
        RootsKeyPath missing{HKEY_CURRENT_USER, {"Software\\twopc-no-such-key", "1.2"}};
        CHECK(rootsOf(*CAddrSpace::Build(network.Source(), missing)) == Roots{{L"Network", L"\\\\"}});
    }
}

TEST_CASE("The process-wide space is absent until the server builds it")
{
    CHECK(twopc::browse::TheAddressSpace() == nullptr);
    CHECK_FALSE(twopc::browse::LookUpNodeType(L"\\\\.").has_value());
}
