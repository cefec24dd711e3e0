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
