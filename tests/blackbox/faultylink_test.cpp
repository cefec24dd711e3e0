// A link that fails part-way: browse listings that break off, and text values whose object
// cannot be read. Each case ends with the server answering plainly, releasing every link
// object it was handed, and working again once the fault is gone.

#include "FakeDataCallback.h"

#include <string>
#include <utility>
#include <vector>

using namespace twopc::test;

namespace {

using Names = std::vector<std::wstring>;

SimCounters Counters()
{
    SimCounters counters{};
    SimGetCounters(&counters);
    return counters;
}

struct Browsing : ServerWithGroup {
    Ref<IOPCBrowseServerAddressSpace> browse = As<IOPCBrowseServerAddressSpace>(server.Get());

    Names List(OPCBROWSETYPE type, HRESULT expected)
    {
        Ref<IEnumString> names;
        CHECK(browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, names.Put()) == expected);
        Names all;
        if (!names) return all;
        LPOLESTR name = nullptr;
        while (names->Next(1, &name, nullptr) == S_OK) {
            all.emplace_back(name);
            CoTaskMemFree(name);
        }
        return all;
    }
    std::wstring Position()
    {
        LPWSTR id = nullptr;
        REQUIRE(browse->GetItemID(const_cast<LPWSTR>(L""), &id) == S_OK);
        std::wstring copy = id;
        CoTaskMemFree(id);
        return copy;
    }
    // What ValidateItems makes of the item ID: its error and canonical type.
    std::pair<HRESULT, VARTYPE> Validate(const wchar_t* id)
    {
        ItemResults validated;
        ValidateItems(items.Get(), {ItemDef(id)}, validated);
        REQUIRE(SUCCEEDED(validated.result));
        return {validated.errors[0], validated.records[0].vtCanonicalDataType};
    }
};

const Names kProc1Leaves = {L"Constant", L"Faulty", L"Label", L"Running", L"Setpoint", L"Silent", L"WriteOnly"};

}  // namespace

TEST_CASE("browse listings that fail at Open or half-way: E_FAIL moves, no lost link objects, all back after")
{
    SimReset();
    CHECK(SimFailBrowse(L"proc9", SIM_BROWSE_AT_OPEN, E_FAIL) == static_cast<HRESULT>(0x8ABC0201));
    CHECK(SimFailBrowse(L"proc1", SIM_BROWSE_AT_OPEN, S_FALSE) == E_INVALIDARG);
    {
        Browsing b;
        REQUIRE(b.browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
        REQUIRE(b.List(OPC_LEAF, S_OK) == kProc1Leaves);

        REQUIRE(SimFailBrowse((L"\\\\" + ComputerName() + L"\\proc1").c_str(), SIM_BROWSE_AT_OPEN, E_FAIL) == S_OK);
        CHECK(b.List(OPC_LEAF, S_FALSE).empty());
        CHECK(b.List(OPC_BRANCH, S_FALSE).empty());
        CHECK(b.List(OPC_FLAT, S_FALSE).empty());
        CHECK(b.browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Waveform") == E_FAIL);
        CHECK(b.browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1\\Waveform") == E_FAIL);
        CHECK(b.Position() == L"\\\\.\\proc1");
        // Lookups find nothing below the failing branch: the requested-type rule applies.
        CHECK(b.Validate(L"\\\\.\\proc1\\Label") == std::pair<HRESULT, VARTYPE>{E_FAIL, VT_R8});
        ItemResults added;
        AddItems(b.items.Get(), {ItemDef(L"\\\\.\\proc1\\Label")}, added);
        CHECK(added.result == S_OK);
        CHECK(added.records[0].vtCanonicalDataType == VT_R8);
        CHECK(Counters().browseFailuresMade >= 7);

        // The network lists Waveform and Setpoint first: Label comes after the break.
        REQUIRE(SimFailBrowse(L"proc1", 2, E_UNEXPECTED) == S_OK);
        const LONG failuresBefore = Counters().browseFailuresMade;
        CHECK(b.browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Label") == E_FAIL);
        CHECK(b.browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1\\Label") == E_FAIL);
        CHECK(b.Position() == L"\\\\.\\proc1");
        CHECK(Counters().browseFailuresMade == failuresBefore + 2);
        CHECK(Counters().liveBrowsers == 1);

        REQUIRE(SimFailBrowse(L"proc1", 0, S_OK) == S_OK);
        CHECK(b.List(OPC_LEAF, S_OK) == kProc1Leaves);
        CHECK(b.Validate(L"\\\\.\\proc1\\Label") == std::pair<HRESULT, VARTYPE>{S_OK, VT_BSTR});
        CHECK(b.browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Waveform") == S_OK);
        CHECK(b.Position() == L"\\\\.\\proc1\\Waveform");
    }
    CHECK(Counters().liveBrowsers == 0);
    CHECK(Counters().receiversHeld == 0);
    SimReset();
}

// The link has no end-of-listing code of its own: any failing Next ends the listing, so a
// listing that breaks off stands for the branch until the next good one brings the rest back.
TEST_CASE("a browse listing that breaks off half-way lists what came before the break")
{
    SimReset();
    {
        Browsing b;
        REQUIRE(b.browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"\\\\.\\proc1") == S_OK);
        REQUIRE(b.List(OPC_LEAF, S_OK) == kProc1Leaves);
        REQUIRE(SimFailBrowse(L"proc1", 2, E_UNEXPECTED) == S_OK);
        CHECK(b.List(OPC_LEAF, S_OK) == Names{L"Setpoint"});
        CHECK(b.List(OPC_BRANCH, S_OK) == Names{L"Waveform"});
        CHECK(b.Validate(L"\\\\.\\proc1\\Setpoint") == std::pair<HRESULT, VARTYPE>{S_OK, VT_R8});
        CHECK(b.Validate(L"\\\\.\\proc1\\Label") == std::pair<HRESULT, VARTYPE>{E_FAIL, VT_R8});

        REQUIRE(SimFailBrowse(L"proc1", 0, S_OK) == S_OK);
        CHECK(b.List(OPC_LEAF, S_OK) == kProc1Leaves);
        CHECK(b.Validate(L"\\\\.\\proc1\\Label") == std::pair<HRESULT, VARTYPE>{S_OK, VT_BSTR});
        CHECK(Counters().liveBrowsers == 1);
    }
    SimReset();
}

TEST_CASE("a text value whose object refuses the text interface reaches clients as an empty value")
{
    SimReset();
    const LONG textsBefore = SimLiveTextObjects();
    {
        ServerWithGroup s({ItemDef(L"\\\\.\\proc1\\Label", 1)}, FALSE, 20);
        Ref<IOPCSyncIO> io = As<IOPCSyncIO>(s.group.Get());
        REQUIRE(SimWaitForDeliveries(5000));  // so that the first report is "ready", not the empty start
        FakeDataCallback sink;
        const DWORD cookie = AdviseDataCallback(s.group.Get(), &sink);
        SetActive(s.group.Get(), TRUE);
        REQUIRE(sink.WaitForCalls(1));
        REQUIRE(sink.Calls().back().items[0].text == L"ready");

        const SimPointUpdate refused{SIM_UPDATE_VALUE | SIM_UPDATE_REFUSING_TEXT, SIM_VALUE_TEXT, 0, FALSE, L"lost", 0};
        REQUIRE(SimUpdatePoint(L"proc1\\Label", &refused) == S_OK);
        REQUIRE(SimWaitForDeliveries(5000));
        REQUIRE(sink.WaitForCalls(2));
        // The conversion's E_FAIL stays inside the server: clients get an empty value with the
        // point's own quality, as for a value of a type the server does not take.
        const RecordedItem changed = sink.Calls().back().items[0];
        CHECK(changed.type == VT_EMPTY);
        CHECK(changed.quality == OPC_QUALITY_GOOD);
        CHECK(changed.error == S_OK);

        for (OPCDATASOURCE source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
            CAPTURE(source);
            ReadResults read(io.Get(), source, {s.Handle(0)});
            CHECK(read.result == S_OK);
            CHECK(read.errors[0] == S_OK);
            CHECK(read.states[0].vDataValue.vt == VT_EMPTY);
            CHECK(read.states[0].wQuality == OPC_QUALITY_GOOD);
        }
        // Every object handed over so far, by reports and by each read's ReadCurrent, is gone.
        CHECK(SimLiveTextObjects() == textsBefore);

        // The next readable text heals the item.
        const SimPointUpdate readable{SIM_UPDATE_VALUE, SIM_VALUE_TEXT, 0, FALSE, L"back", 0};
        REQUIRE(SimUpdatePoint(L"proc1\\Label", &readable) == S_OK);
        REQUIRE(sink.WaitForCalls(3));
        CHECK(sink.Calls().back().items[0].text == L"back");
        CHECK(sink.Calls().back().items[0].error == S_OK);
        UnadviseDataCallback(s.group.Get(), cookie);
    }
    CHECK(SimLiveTextObjects() == textsBefore);
    SimReset();
}
