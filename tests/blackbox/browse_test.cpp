// IOPCBrowseServerAddressSpace through COM, against the simulated network.

#include "ComTest.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <thread>

using namespace twopc::test;

// Listings show in failure messages.
template <>
struct doctest::StringMaker<std::vector<std::wstring>> {
    static String convert(const std::vector<std::wstring>& names)
    {
        std::string text = "{";
        for (const std::wstring& name : names) text += " \"" + Narrow(name) + "\"";
        return (text + " }").c_str();
    }
};

namespace {

using Names = std::vector<std::wstring>;

struct Browser {
    Ref<IOPCServer> server = NewServer<IOPCServer>();
    Ref<IOPCBrowseServerAddressSpace> browse = As<IOPCBrowseServerAddressSpace>(server.Get());
    IOPCBrowseServerAddressSpace* operator->() const { return browse.Get(); }
};

// Every name the listing hands out, in the enumerator's order.
Names List(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, const wchar_t* filter = L"",
           VARTYPE dataType = VT_EMPTY, DWORD access = 0, HRESULT* result = nullptr)
{
    Ref<IEnumString> names;
    const HRESULT hr = browse->BrowseOPCItemIDs(type, filter, dataType, access, names.Put());
    if (result) *result = hr;
    // Threads call this too: a failed CHECK is safe there, a failed REQUIRE is not.
    CHECK(SUCCEEDED(hr));
    CHECK(names);
    if (FAILED(hr) || !names) return {};
    Names all;
    LPOLESTR batch[8];
    ULONG fetched = 0;
    HRESULT next;
    do {
        next = names->Next(8, batch, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            all.emplace_back(batch[i]);
            CoTaskMemFree(batch[i]);
        }
    } while (next == S_OK);
    CHECK((hr == S_FALSE) == all.empty());
    return all;
}

std::wstring ItemId(IOPCBrowseServerAddressSpace* browse, const wchar_t* name, HRESULT expected = S_OK)
{
    LPWSTR id = reinterpret_cast<LPWSTR>(1);
    REQUIRE(browse->GetItemID(const_cast<LPWSTR>(name), &id) == expected);
    if (FAILED(expected)) {
        CHECK(id == nullptr);
        return L"<failed>";
    }
    std::wstring copy = id;
    CoTaskMemFree(id);
    return copy;
}

// The root names that the server built its tree from: registry values outlive the prefix's
// processes, so a run may find another value than the default it would write.
Names ConfiguredRootNames()
{
    char value[2048];
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Orvane\\OPC Kelvane Interface\\1.2", "Kelvane Root URLs",
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return {L"Network"};
    // "name=id,name=id": a root's name is what comes before "=" in each pair.
    Names names;
    std::string_view rest = value;
    while (!rest.empty()) {
        const std::string_view pair = rest.substr(0, rest.find(','));
        rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
        const std::string_view name = pair.substr(0, pair.find('='));
        if (!name.empty()) names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const Names kProc1Leaves = {L"Constant", L"Faulty", L"Label", L"Running", L"Setpoint", L"Silent", L"WriteOnly"};

}  // namespace

TEST_CASE("each request gives a browse object with a position of its own")
{
    Browser first;
    auto second = As<IOPCBrowseServerAddressSpace>(first.server.Get());
    CHECK(second.Get() != first.browse.Get());
    REQUIRE(first->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
    CHECK(ItemId(first.browse.Get(), L"") == L"\\\\.\\proc1");
    CHECK(ItemId(second.Get(), L"") == L"");

    OPCNAMESPACETYPE organization = OPC_NS_FLAT;
    CHECK(first->QueryOrganization(&organization) == S_OK);
    CHECK(organization == OPC_NS_HIERARCHIAL);
    CHECK(first->QueryOrganization(nullptr) == E_INVALIDARG);
    Ref<IEnumString> paths;
    CHECK(first->BrowseAccessPaths(L"\\\\.\\proc1\\Setpoint", paths.Put()) == E_NOTIMPL);
}

TEST_CASE("the root shows the configured roots only, and moves that fail leave the position")
{
    Browser b;
    CHECK(List(b.browse.Get(), OPC_BRANCH) == ConfiguredRootNames());
    CHECK(List(b.browse.Get(), OPC_LEAF).empty());
    CHECK(ItemId(b.browse.Get(), L"") == L"");

    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_UP, L"") == E_FAIL);
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"") == E_INVALIDARG);
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, nullptr) == E_INVALIDARG);
    CHECK(b->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(4), L"Network") == E_INVALIDARG);

    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"NoSuchChild") == E_FAIL);
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"waveform") == E_FAIL);  // names are case-sensitive
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc9") == E_FAIL);
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.\\proc1");
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr) == S_OK);
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.");
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"proc2") == S_OK);
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.\\proc2");
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"") == S_OK);
    CHECK(List(b.browse.Get(), OPC_BRANCH) == ConfiguredRootNames());
}

TEST_CASE("BrowseOPCItemIDs checks its filter type and rights; type 0 lists nothing")
{
    Browser b;
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
    LPENUMSTRING names = reinterpret_cast<LPENUMSTRING>(1);
    CHECK(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, nullptr) == E_INVALIDARG);
    CHECK(b->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(4), L"", VT_EMPTY, 0, &names) == E_INVALIDARG);
    CHECK(names == nullptr);
    CHECK(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 4, &names) == E_INVALIDARG);
    CHECK(names == nullptr);

    REQUIRE(b->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(0), L"", VT_EMPTY, 0, &names) == S_FALSE);
    REQUIRE(names != nullptr);
    LPOLESTR name = nullptr;
    ULONG fetched = 7;
    CHECK(names->Next(1, &name, &fetched) == E_FAIL);
    CHECK(fetched == 0);
    names->Release();
}

TEST_CASE("leaf and branch listings: the Like filter on browse names, ordinal order")
{
    Browser b;
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
    CHECK(List(b.browse.Get(), OPC_LEAF, L"*") == kProc1Leaves);
    CHECK(List(b.browse.Get(), OPC_LEAF, nullptr) == kProc1Leaves);
    CHECK(List(b.browse.Get(), OPC_BRANCH) == Names{L"Waveform"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"S*") == Names{L"Setpoint", L"Silent"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"?etpoint") == Names{L"Setpoint"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"[!A-C]*") ==
          Names{L"Faulty", L"Label", L"Running", L"Setpoint", L"Silent", L"WriteOnly"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"[!a-c]*") == kProc1Leaves);  // case-sensitive ranges
    HRESULT hr = E_UNEXPECTED;
    CHECK(List(b.browse.Get(), OPC_LEAF, L"C#", VT_EMPTY, 0, &hr).empty());
    CHECK(hr == S_FALSE);

    // The tree keeps the pump's children in case-insensitive order of ID component ("",
    // speed, Tank); clients get them ordinally, upper case first, under their browse names.
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc2\\Pump") == S_OK);
    CHECK(List(b.browse.Get(), OPC_LEAF) == Names{L"(implicit)", L"Tank-Level", L"speed"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"Tank") == Names{});
}

TEST_CASE("data-type and access-rights filters")
{
    Browser b;
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
    // Zero doubles and booleans convert to text, so a text filter keeps them.
    CHECK(List(b.browse.Get(), OPC_LEAF, L"", VT_BSTR) == kProc1Leaves);
    CHECK(List(b.browse.Get(), OPC_LEAF, L"", VT_R8) ==
          Names{L"Constant", L"Faulty", L"Running", L"Setpoint", L"Silent", L"WriteOnly"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"", VT_DISPATCH).empty());
    CHECK(List(b.browse.Get(), OPC_BRANCH, L"", VT_DISPATCH) == Names{L"Waveform"});  // a typeless branch passes
    CHECK(List(b.browse.Get(), OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE) ==
          Names{L"Label", L"Running", L"Setpoint", L"WriteOnly"});
    CHECK(List(b.browse.Get(), OPC_LEAF, L"", VT_EMPTY, OPC_READABLE | OPC_WRITEABLE) == kProc1Leaves);
    CHECK(List(b.browse.Get(), OPC_LEAF, L"S*", VT_EMPTY, OPC_WRITEABLE) == Names{L"Setpoint"});

    // The pump is a branch with the type of its own point, so the type test applies to it.
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr) == S_OK);
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"proc2") == S_OK);
    CHECK(List(b.browse.Get(), OPC_BRANCH, L"", VT_BSTR) == Names{L"Pump"});
    CHECK(List(b.browse.Get(), OPC_BRANCH, L"", VT_DISPATCH).empty());
}

TEST_CASE("flat listings give the item IDs of the leaves below the position")
{
    Browser b;
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.") == S_OK);
    const Names all = List(b.browse.Get(), OPC_FLAT);
    CHECK(std::is_sorted(all.begin(), all.end()));
    auto listed = [&all](const wchar_t* id) { return std::find(all.begin(), all.end(), id) != all.end(); };
    for (const wchar_t* id : {L"\\\\.\\proc1\\Waveform.cosine", L"\\\\.\\proc1\\Setpoint", L"\\\\.\\proc2\\Pump.Tank",
                              L"\\\\.\\proc2\\Pump", L"\\\\.\\proc2\\Pump.speed"}) {
        CAPTURE(Narrow(id));
        CHECK(listed(id));
    }
    for (const wchar_t* branch : {L"\\\\.\\proc1", L"\\\\.\\proc1\\Waveform", L"\\\\.\\proc2", L"\\\\.\\mem"}) {
        CAPTURE(Narrow(branch));
        CHECK_FALSE(listed(branch));
    }
    // The name filter sees browse names, not item IDs or ID components.
    CHECK(List(b.browse.Get(), OPC_FLAT, L"Tank-*") == Names{L"\\\\.\\proc2\\Pump.Tank"});
    CHECK(List(b.browse.Get(), OPC_FLAT, L"(implicit)") == Names{L"\\\\.\\proc2\\Pump"});
    CHECK(List(b.browse.Get(), OPC_FLAT, L"\\\\*").empty());
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"proc2") == S_OK);
    CHECK(List(b.browse.Get(), OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE) ==
          Names{L"\\\\.\\proc2\\Pump.Tank", L"\\\\.\\proc2\\Pump.speed"});
}

TEST_CASE("a leaf as position lists nothing and names itself")
{
    Browser b;
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1\\Waveform") == S_OK);
    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"sine") == S_OK);
    for (OPCBROWSETYPE type : {OPC_BRANCH, OPC_LEAF, OPC_FLAT}) {
        HRESULT hr = E_UNEXPECTED;
        CHECK(List(b.browse.Get(), type, L"", VT_EMPTY, 0, &hr).empty());
        CHECK(hr == S_FALSE);
    }
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.\\proc1\\Waveform.sine");
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"sine") == E_FAIL);
    CHECK(b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr) == S_OK);
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.\\proc1\\Waveform");
}

TEST_CASE("GetItemID: a child's browse name, a full item ID, unknown names")
{
    Browser b;
    LPWSTR id = nullptr;
    CHECK(b->GetItemID(nullptr, &id) == E_INVALIDARG);
    CHECK(b->GetItemID(const_cast<LPWSTR>(L""), nullptr) == E_INVALIDARG);

    REQUIRE(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc2\\Pump") == S_OK);
    List(b.browse.Get(), OPC_LEAF);
    CHECK(ItemId(b.browse.Get(), L"Tank-Level") == L"\\\\.\\proc2\\Pump.Tank");
    CHECK(ItemId(b.browse.Get(), L"(implicit)") == L"\\\\.\\proc2\\Pump");
    CHECK(ItemId(b.browse.Get(), L"\\\\.\\proc1\\Setpoint") == L"\\\\.\\proc1\\Setpoint");
    ItemId(b.browse.Get(), L"NoSuchPoint", OPC_E_UNKNOWNITEMID);
    ItemId(b.browse.Get(), L"Tank", OPC_E_UNKNOWNITEMID);  // an ID component is no browse name
    CHECK(ItemId(b.browse.Get(), L"") == L"\\\\.\\proc2\\Pump");
}

TEST_CASE("concurrent browsing, moves, refreshes and item creation keep the tree consistent")
{
    {
        constexpr int kRounds = 15;
        std::atomic<int> failures{0};
        auto fail = [&failures](bool ok) {
            if (!ok) ++failures;
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                {
                    ServerWithGroup s;
                    Ref<IOPCBrowseServerAddressSpace> browse;
                    fail(s.server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid()) == S_OK);
                    Names expectedProc1;
                    for (int round = 0; browse && round < kRounds; ++round) {
                        if (t % 2 == 0) {
                            const std::wstring mem = L"\\\\.\\mem\\t" + std::to_wstring(t) + L"_" + std::to_wstring(round);
                            ItemResults added;
                            AddItems(s.items.Get(), {ItemDef(mem.c_str()), ItemDef(L"\\\\.\\proc1\\Setpoint")}, added);
                            fail(added.result == S_OK);
                            fail(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
                            const Names proc1 = List(browse.Get(), OPC_FLAT);
                            fail(proc1.size() == kProc1Leaves.size() + 4);
                            fail(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\mem") == S_OK);
                            const Names memory = List(browse.Get(), OPC_LEAF);
                            fail(std::find(memory.begin(), memory.end(), mem.substr(8)) != memory.end());
                        } else {
                            // Refreshes every level over and over, under the others' positions.
                            fail(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"") == S_OK);
                            fail(List(browse.Get(), OPC_FLAT).size() >= kProc1Leaves.size() + 7);
                            fail(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\mem") == S_OK);
                            List(browse.Get(), OPC_LEAF);
                            fail(browse->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr) == S_OK);
                            fail(List(browse.Get(), OPC_BRANCH) == Names{L"mem", L"proc1", L"proc2"});
                        }
                    }
                }
                CoUninitialize();
            });
        }
        for (auto& thread : threads) thread.join();
        CHECK(failures == 0);
    }
    CHECK(ModuleCanUnloadNow() == S_OK);
}
