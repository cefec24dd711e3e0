// The simulated link libraries, loaded and called the way the server does: by file name,
// through GetProcAddress, with the server's own declarations of the binary contract.

#include <doctest.h>

#include <sim/kelvane.h>
#include <sim/simctl.h>
#include <twopc/link/KelvaneLink.h>

#include <atomic>
#include <string>

namespace tl = twopc::link;

// The server's view and the network maker's view must be one binary layout.
static_assert(sizeof(tl::KelvaneValue) == sizeof(kelvane::Value));
static_assert(sizeof(tl::KelvaneSubscription) == sizeof(kelvane::SubscriptionRequest));
static_assert(offsetof(tl::KelvanePointInfo, access) == offsetof(kelvane::PointInfo, access));
static_assert(sizeof(tl::KelvaneBrowseEntry) == sizeof(kelvane::BrowseEntry));
static_assert(offsetof(tl::KelvaneBrowseEntry, access) == offsetof(kelvane::BrowseEntry, access));

namespace {

template <class Function>
Function Export(const wchar_t* library, const char* name)
{
    HMODULE module = LoadLibraryW(library);  // stays loaded for the whole run, as in the server
    REQUIRE_MESSAGE(module != nullptr, "cannot load the library");
    FARPROC address = GetProcAddress(module, name);
    const bool exported = address != nullptr;
    REQUIRE_MESSAGE(exported, name);
    return reinterpret_cast<Function>(address);
}

SimCounters Counters()
{
    SimCounters counters{};
    SimGetCounters(&counters);
    return counters;
}

// A receiver on the test's stack that only counts: the reference count starts at the
// test's own reference and must come back to it.
template <class Interface>
class CountingReceiver : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    std::atomic<ULONG> references{1};
    std::atomic<int> callbacks{0};
};

struct FakeRealTimeReceiver : CountingReceiver<tl::IKelvaneRealTimeReceiver> {
    HRESULT STDMETHODCALLTYPE OnValue(void*, std::uint32_t, const tl::KelvaneValue*, std::uint32_t,
                                      std::uint64_t) override
    {
        ++callbacks;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPointInfo(void*, const tl::KelvanePointInfo*) override
    {
        ++callbacks;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPointStatus(void*, std::uint32_t) override
    {
        ++callbacks;
        return S_OK;
    }
};

struct FakeBrowserReceiver : CountingReceiver<tl::IKelvaneBrowserReceiver> {
    HRESULT STDMETHODCALLTYPE OnBrowse(void*, const void*) override
    {
        ++callbacks;
        return S_OK;
    }
};

}  // namespace

TEST_CASE("GetHostMachineName answers the computer name as a new BSTR")
{
    auto getHostMachineName = Export<tl::GetHostMachineNameFn>(L"twsock.dll", "GetHostMachineName");
    wchar_t expected[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = ARRAYSIZE(expected);
    REQUIRE(GetComputerNameW(expected, &length));

    BSTR name = nullptr;
    REQUIRE(getHostMachineName(&name) == S_OK);
    CHECK(std::wstring(name, SysStringLen(name)) == std::wstring(expected, length));
    SysFreeString(name);
    CHECK(getHostMachineName(nullptr) == E_POINTER);
}

TEST_CASE("text objects keep their text and free themselves on the last release")
{
    auto newUnicodeGuts = Export<tl::NewUnicodeGutsFn>(L"twdynam.dll", "NewUnicodeGuts");
    auto newAnsiGuts = Export<kelvane::NewAnsiGutsFn>(L"twdynam.dll", "NewAnsiGuts");
    const LONG liveBefore = SimLiveTextObjects();

    SUBCASE("wide")
    {
        IUnknown* object = newUnicodeGuts(L"Waveform");
        REQUIRE(object != nullptr);
        CHECK(SimLiveTextObjects() == liveBefore + 1);

        tl::IKelvaneWideText* text = nullptr;
        REQUIRE(object->QueryInterface(tl::IID_IKelvaneWideText, reinterpret_cast<void**>(&text)) == S_OK);
        CHECK(std::wstring(text->GetText()) == L"Waveform");
        CHECK(text->Append(L".cosine") == S_OK);
        CHECK(std::wstring(text->GetText()) == L"Waveform.cosine");
        CHECK(text->GetLength() == 15);
        CHECK(text->SetText(nullptr) == S_OK);
        CHECK(std::wstring(text->GetText()).empty());
        CHECK(text->Release() == 1);

        auto* narrow = reinterpret_cast<tl::IKelvaneNarrowText*>(1);
        CHECK(object->QueryInterface(tl::IID_IKelvaneNarrowText, reinterpret_cast<void**>(&narrow)) == E_NOINTERFACE);
        CHECK(narrow == nullptr);
        CHECK(object->Release() == 0);
        CHECK(SimLiveTextObjects() == liveBefore);
    }
    SUBCASE("narrow")
    {
        IUnknown* object = newAnsiGuts("abc");
        REQUIRE(object != nullptr);
        tl::IKelvaneNarrowText* text = nullptr;
        REQUIRE(object->QueryInterface(tl::IID_IKelvaneNarrowText, reinterpret_cast<void**>(&text)) == S_OK);
        CHECK(std::string(text->GetText()) == "abc");
        CHECK(text->Release() == 1);
        tl::IKelvaneWideText* wide = nullptr;
        CHECK(object->QueryInterface(tl::IID_IKelvaneWideText, reinterpret_cast<void**>(&wide)) == E_NOINTERFACE);
        CHECK(object->Release() == 0);
        CHECK(SimLiveTextObjects() == liveBefore);
    }
    SUBCASE("null text is empty")
    {
        IUnknown* object = newUnicodeGuts(nullptr);
        tl::IKelvaneWideText* text = nullptr;
        REQUIRE(object->QueryInterface(tl::IID_IKelvaneWideText, reinterpret_cast<void**>(&text)) == S_OK);
        CHECK(text->GetLength() == 0);
        CHECK(text->GetText()[0] == L'\0');
        text->Release();
        CHECK(object->Release() == 0);
    }
}

TEST_CASE("the OEM object records the client kind")
{
    SimReset();
    const SimCounters before = Counters();
    tl::IKelvaneOEM* oem = Export<tl::GetIKelvaneOEMFn>(L"twsock.dll", "GetIKelvaneOEM")();
    REQUIRE(oem != nullptr);
    CHECK(Counters().liveOemObjects == before.liveOemObjects + 1);
    CHECK(SimGetClientKind(nullptr, 0) == 0);

    CHECK(oem->SetClientKind(L"OPC") == S_OK);
    wchar_t kind[8] = {};
    CHECK(SimGetClientKind(kind, ARRAYSIZE(kind)) == 3);
    CHECK(std::wstring(kind) == L"OPC");
    CHECK(SimGetClientKind(kind, 2) == 3);  // truncated, still terminated
    CHECK(std::wstring(kind) == L"O");

    CHECK(oem->Release() == 0);
    CHECK(Counters().liveOemObjects == before.liveOemObjects);
}

TEST_CASE("the realtime interface holds its receiver until its last release")
{
    auto newRealTime = Export<tl::NewKelvaneRealTimeFn>(L"twrealt.dll", "NewKelvaneRealTime");
    SimReset();
    const SimCounters before = Counters();
    FakeRealTimeReceiver receiver;

    // A failed creation takes no reference and clears the out pointer.
    auto* realtime = reinterpret_cast<tl::IKelvaneRealTime*>(1);
    SimFailNextCreations(SIM_LINK_REALTIME, 1);
    CHECK(newRealTime(nullptr, &receiver, &realtime) == 0);
    CHECK(realtime == nullptr);
    CHECK(receiver.references == 1);
    CHECK(Counters().realTimesCreated == 0);
    CHECK(Counters().liveRealTimes == before.liveRealTimes);

    REQUIRE(newRealTime(nullptr, &receiver, &realtime) == 1);
    REQUIRE(realtime != nullptr);
    CHECK(receiver.references == 2);
    const SimCounters during = Counters();
    CHECK(during.realTimesCreated == 1);
    CHECK(during.liveRealTimes == before.liveRealTimes + 1);
    CHECK(during.receiversHeld == before.receiversHeld + 1);

    const tl::KelvaneSubscription request{13, 7, 0, 0};
    // Another computer's points are out of reach (the local ones are sim_points_test's).
    for (const wchar_t* itemId : {L"\\\\no.such.host\\proc1\\Waveform.cosine", L""}) {
        auto* point = reinterpret_cast<tl::IKelvanePoint*>(1);
        CHECK(realtime->Subscribe(itemId, &receiver, &request, &point) == kelvane::KELVANE_E_UNKNOWNPOINT);
        CHECK(point == nullptr);
    }
    CHECK(receiver.callbacks == 0);

    CHECK(realtime->Release() == 0);
    CHECK(receiver.references == 1);
    CHECK(Counters().liveRealTimes == before.liveRealTimes);
    CHECK(Counters().receiversHeld == before.receiversHeld);
}

TEST_CASE("the browse interface holds its receiver until its last release")
{
    auto newBrowser = Export<tl::NewKelvaneBrowserFn>(L"twbrow.dll", "NewKelvaneBrowser");
    auto newRealTime = Export<tl::NewKelvaneRealTimeFn>(L"twrealt.dll", "NewKelvaneRealTime");
    SimReset();
    const SimCounters before = Counters();
    FakeBrowserReceiver receiver;

    // A switch for one kind leaves the other kind alone.
    SimFailNextCreations(SIM_LINK_BROWSER, 1);
    FakeRealTimeReceiver realtimeReceiver;
    tl::IKelvaneRealTime* realtime = nullptr;
    REQUIRE(newRealTime(nullptr, &realtimeReceiver, &realtime) == 1);
    realtime->Release();
    auto* browser = reinterpret_cast<tl::IKelvaneBrowser*>(1);
    CHECK(newBrowser(nullptr, &receiver, &browser) == 0);
    CHECK(browser == nullptr);
    CHECK(receiver.references == 1);

    REQUIRE(newBrowser(nullptr, &receiver, &browser) == 1);
    CHECK(receiver.references == 2);
    CHECK(Counters().browsersCreated == 1);
    CHECK(Counters().liveBrowsers == before.liveBrowsers + 1);

    CHECK(browser->Open(L"\\\\no.such.host\\proc1") == kelvane::KELVANE_E_UNKNOWNPATH);
    tl::KelvaneBrowseEntry entry{};
    CHECK(browser->Next(tl::kBrowseFieldsWanted, &entry) == kelvane::KELVANE_E_ENDOFLIST);
    CHECK(entry.name == nullptr);
    CHECK(browser->Close() == S_OK);
    CHECK(receiver.callbacks == 0);

    CHECK(browser->Release() == 0);
    CHECK(receiver.references == 1);
    CHECK(Counters().liveBrowsers == before.liveBrowsers);
    CHECK(Counters().receiversHeld == before.receiversHeld);
}
