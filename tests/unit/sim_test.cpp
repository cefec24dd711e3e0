// The simulated network, loaded and called the way the server does: by file name, through
// GetProcAddress, with the server's own declarations of the binary contract. The simulator
// stands in for the network in the server's tests; these cases pin what those tests rely on.
// The link counters and failed creations are checked through the server in link_test.

#include <doctest.h>

#include <sim/kelvane.h>
#include <sim/simctl.h>
#include <twopc/link/KelvaneLink.h>

#include <atomic>
#include <bit>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tl = twopc::link;
using kelvane::KELVANE_E_ENDOFLIST;
using kelvane::KELVANE_E_READONLY;
using kelvane::KELVANE_E_TYPEMISMATCH;
using kelvane::KELVANE_E_UNKNOWNPATH;
using kelvane::KELVANE_E_UNKNOWNPOINT;

// The server's view and the network maker's view must be one binary layout.
static_assert(sizeof(tl::KelvaneValue) == sizeof(kelvane::Value));
static_assert(sizeof(tl::KelvaneSubscription) == sizeof(kelvane::SubscriptionRequest));
static_assert(offsetof(tl::KelvanePointInfo, access) == offsetof(kelvane::PointInfo, access));
static_assert(sizeof(tl::KelvaneBrowseEntry) == sizeof(kelvane::BrowseEntry));
static_assert(offsetof(tl::KelvaneBrowseEntry, access) == offsetof(kelvane::BrowseEntry, access));

namespace {

constexpr DWORD kFlushTimeoutMs = 10000;
const tl::KelvaneSubscription kRequest{13, 7, 0, 0};

template <class Function>
Function Export(const wchar_t* library, const char* name)
{
    HMODULE module = LoadLibraryW(library);  // stays loaded for the whole run, as in the server
    REQUIRE(module != nullptr);
    FARPROC address = GetProcAddress(module, name);
    const bool exported = address != nullptr;
    REQUIRE_MESSAGE(exported, name);
    return reinterpret_cast<Function>(address);
}

std::wstring Host()
{
    BSTR name = nullptr;
    REQUIRE(Export<tl::GetHostMachineNameFn>(L"twsock.dll", "GetHostMachineName")(&name) == S_OK);
    std::wstring host(name, SysStringLen(name));
    SysFreeString(name);
    return host;
}

std::wstring ItemId(const std::wstring& below) { return L"\\\\" + Host() + L"\\" + below; }
void Flush() { REQUIRE(SimWaitForDeliveries(kFlushTimeoutMs)); }
void* Cookie(std::uintptr_t number) { return reinterpret_cast<void*>(number); }

// What one callback brought, with any text copied out during the call.
struct Event {
    enum Kind { PointInfo, Value, PointStatus };
    Event(Kind kind, void* cookie, std::uint32_t mask, std::uint32_t type, std::uint32_t access,
          std::uint32_t status = 0, std::uint64_t bits = 0, std::uint64_t timestamp = 0)
        : kind(kind), cookie(cookie), mask(mask), type(type), access(access), status(status), bits(bits),
          timestamp(timestamp)
    {
    }

    Kind kind;
    void* cookie;
    std::uint32_t mask, type, access, status;
    std::uint64_t bits, timestamp;
    std::wstring text;
    DWORD thread = 0;

    double Real() const { return std::bit_cast<double>(bits); }
    // The value as a test writes it: 42, true, "ready".
    std::string Shown() const
    {
        std::ostringstream shown;
        if (type == tl::kvDouble) shown << Real();
        else if (type == tl::kvBool) shown << ((bits & 0xFF) ? "true" : "false");
        else if (type == tl::kvWideText) shown << '"' << std::string(text.begin(), text.end()) << '"';
        else shown << "type " << type;
        return shown.str();
    }
};

// A value as an event, with the text copied out of a text object.
Event ValueEvent(void* cookie, std::uint32_t mask, const tl::KelvaneValue& value, std::uint32_t status,
                 std::uint64_t timestamp)
{
    Event event{Event::Value, cookie, mask, value.type, 0, status, value.payload.bits, timestamp};
    if (value.type == tl::kvWideText) {
        tl::IKelvaneWideText* text = nullptr;
        REQUIRE(value.payload.object->QueryInterface(tl::IID_IKelvaneWideText, reinterpret_cast<void**>(&text)) ==
                S_OK);
        event.text = text->GetText();
        text->Release();
    }
    return event;
}

// IUnknown for receivers on the test's stack: the count only has to come back to 1.
template <class Interface>
struct StackReceiver : Interface {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    std::atomic<ULONG> references{1};
};

struct BrowseReceiver : StackReceiver<tl::IKelvaneBrowserReceiver> {
    HRESULT STDMETHODCALLTYPE OnBrowse(void*, const void*) override { return S_OK; }
};

class RecordingReceiver : public StackReceiver<tl::IKelvaneRealTimeReceiver> {
public:
    HRESULT STDMETHODCALLTYPE OnValue(void* cookie, std::uint32_t mask, const tl::KelvaneValue* value,
                                      std::uint32_t status, std::uint64_t timestamp) override
    {
        return Record(ValueEvent(cookie, mask, *value, status, timestamp));
    }
    HRESULT STDMETHODCALLTYPE OnPointInfo(void* cookie, const tl::KelvanePointInfo* info) override
    {
        return Record(Event(Event::PointInfo, cookie, info->mask, info->type, info->access));
    }
    HRESULT STDMETHODCALLTYPE OnPointStatus(void* cookie, std::uint32_t code) override
    {
        return Record(Event(Event::PointStatus, cookie, 0, 0, 0, code));
    }

    std::vector<Event> Events() const
    {
        std::scoped_lock lock(mutex_);
        return events_;
    }
    std::vector<Event> EventsFor(void* cookie) const
    {
        std::vector<Event> matching;
        for (const Event& event : Events())
            if (event.cookie == cookie) matching.push_back(event);
        return matching;
    }

    std::function<void(const Event&)> hook;  // runs inside the callback; set before subscribing

private:
    HRESULT Record(Event event)
    {
        event.thread = GetCurrentThreadId();
        if (hook) hook(event);
        std::scoped_lock lock(mutex_);
        events_.push_back(std::move(event));
        return S_OK;
    }

    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

struct ReleasePoint {
    void operator()(tl::IKelvanePoint* point) const { point->Release(); }
};
using PointRef = std::unique_ptr<tl::IKelvanePoint, ReleasePoint>;

// One realtime interface with its recording receiver, as the server holds them.
struct Session {
    Session()
    {
        REQUIRE(Export<tl::NewKelvaneRealTimeFn>(L"twrealt.dll", "NewKelvaneRealTime")(nullptr, &receiver, &link) == 1);
    }
    ~Session()
    {
        if (link) link->Release();
    }
    PointRef Subscribe(const std::wstring& below, void* cookie)
    {
        tl::IKelvanePoint* point = nullptr;
        REQUIRE(link->Subscribe(ItemId(below).c_str(), cookie, &kRequest, &point) == S_OK);
        REQUIRE(point != nullptr);
        return PointRef(point);
    }

    RecordingReceiver receiver;
    tl::IKelvaneRealTime* link = nullptr;
};

// Subscribes to a name that is no point: the answer, with the out pointer checked to be null.
HRESULT Refused(tl::IKelvaneRealTime* link, const std::wstring& itemId)
{
    auto* point = reinterpret_cast<tl::IKelvanePoint*>(1);
    const HRESULT result = link->Subscribe(itemId.c_str(), Cookie(1), &kRequest, &point);
    CHECK(point == nullptr);
    return result;
}

tl::KelvaneValue Value(std::uint32_t type, std::uint64_t bits = 0)
{
    tl::KelvaneValue value{};
    value.type = type;
    value.payload.bits = bits;
    return value;
}
tl::KelvaneValue Double(double real) { return Value(tl::kvDouble, std::bit_cast<std::uint64_t>(real)); }

SimPointUpdate Update(UINT fields, UINT type = 0, double real = 0, const wchar_t* text = nullptr, UINT status = 0)
{
    return SimPointUpdate{fields, type, real, FALSE, text, status};
}
SimPointUpdate DoubleUpdate(double real) { return Update(SIM_UPDATE_VALUE, SIM_VALUE_DOUBLE, real); }
SimPointUpdate StatusUpdate(UINT status) { return Update(SIM_UPDATE_STATUS, 0, 0, nullptr, status); }

struct Read {
    HRESULT result;
    std::uint32_t mask;
    tl::KelvaneValue value;
    std::uint32_t status;
    std::uint64_t timestamp;
};

// Leaves any text object in the value to the caller.
Read ReadCurrent(tl::IKelvanePoint* point)
{
    Read read{E_FAIL, 0xFF, Value(tl::kvNull), 0xFF, 0xFF};
    read.result = point->ReadCurrent(&read.mask, &read.value, &read.status, &read.timestamp);
    return read;
}

// What a read brought, as an event; releases any text object.
Event Reported(const Read& read)
{
    const Event event = ValueEvent(nullptr, read.mask, read.value, read.status, read.timestamp);
    if (read.value.type == tl::kvWideText) CHECK(read.value.payload.object->Release() == 0);
    return event;
}

// name, delimiter, leaf, type, access, item ID
using Listed = std::tuple<std::wstring, wchar_t, bool, std::uint16_t, std::uint16_t, std::wstring>;

// Opens the path, expecting `opened`, and walks the listing to its end.
std::vector<Listed> Listing(const std::wstring& path, HRESULT opened = S_OK)
{
    BrowseReceiver receiver;
    tl::IKelvaneBrowser* browser = nullptr;
    REQUIRE(Export<tl::NewKelvaneBrowserFn>(L"twbrow.dll", "NewKelvaneBrowser")(nullptr, &receiver, &browser) == 1);
    std::vector<Listed> children;
    CHECK(browser->Open(path.c_str()) == opened);
    tl::KelvaneBrowseEntry entry{};
    HRESULT next;
    while ((next = browser->Next(tl::kBrowseFieldsWanted, &entry)) == S_OK) {
        CHECK(entry.mask == (tl::kBrowseFieldsWanted | kelvane::bfItemId));
        children.emplace_back(entry.name, static_cast<wchar_t>(entry.delimiter), entry.flags == 1, entry.type,
                              entry.access, entry.secondName);
        SysFreeString(entry.name);
        SysFreeString(entry.secondName);
        entry.name = entry.secondName = nullptr;
    }
    CHECK(next == KELVANE_E_ENDOFLIST);
    CHECK(entry.name == nullptr);
    browser->Release();
    return children;
}

}  // namespace

TEST_CASE("a subscription gets point info, then the point's value, on the network's thread; ReadCurrent agrees")
{
    const struct {
        const wchar_t* point;
        std::uint32_t type, access;
        const char* first;  // nullptr: the point has no value
        std::uint32_t status = 0;
    } points[] = {
        {L"proc1\\Setpoint", tl::kvDouble, 3, "0"},       {L"proc1\\Label", tl::kvWideText, 3, "\"ready\""},
        {L"proc1\\Running", tl::kvBool, 3, "true"},       {L"proc1\\Constant", tl::kvDouble, 1, "42"},
        {L"proc1\\WriteOnly", tl::kvDouble, 2, nullptr},  {L"proc1\\Silent", tl::kvDouble, 1, nullptr},
        {L"proc1\\Faulty", tl::kvDouble, 1, "0", SIM_FAULTY_STATUS},
        {L"proc2\\Pump", tl::kvDouble, 1, "1450"},        {L"proc2\\Pump.speed", tl::kvDouble, 3, "0"},
        {L"proc2\\Pump.Tank", tl::kvDouble, 3, "0"},      {L"mem\\fresh", tl::kvDouble, 3, "0"},
    };
    SimReset();
    const LONG textObjectsBefore = SimLiveTextObjects();
    Session session;
    for (std::size_t i = 0; i < std::size(points); ++i) {
        const auto& expected = points[i];
        CAPTURE(std::string(expected.point, expected.point + wcslen(expected.point)));
        PointRef point = session.Subscribe(expected.point, Cookie(i + 1));
        CHECK(SimLiveSubscriptions(nullptr) == 1);
        CHECK(SimLiveSubscriptions(ItemId(expected.point).c_str()) == 1);
        Flush();
        const std::vector<Event> events = session.receiver.EventsFor(Cookie(i + 1));
        REQUIRE(events.size() == (expected.first ? 2u : 1u));
        CHECK(events[0].kind == Event::PointInfo);
        CHECK(events[0].mask == 0x6);
        CHECK(events[0].type == expected.type);
        CHECK(events[0].access == expected.access);
        CHECK(events[0].thread != GetCurrentThreadId());
        tl::KelvanePointInfo info{};
        CHECK(point->GetInfo(&info) == S_OK);
        CHECK(info.type == expected.type);
        CHECK(info.access == expected.access);

        const Read read = ReadCurrent(point.get());
        const Event current = Reported(read);
        CHECK(SimLiveTextObjects() == textObjectsBefore);
        CHECK(read.result == S_OK);
        if (!expected.first) {
            CHECK(read.mask == 0);
            CHECK(read.value.type == tl::kvNull);  // untouched
            CHECK(read.timestamp == 0);
        } else {
            CHECK(events[1].kind == Event::Value);
            CHECK(events[1].mask == 0x7);
            CHECK(events[1].type == expected.type);
            CHECK(events[1].Shown() == expected.first);
            CHECK(events[1].status == expected.status);
            CHECK(events[1].timestamp != 0);
            CHECK(events[1].thread == events[0].thread);
            CHECK(read.mask == 0x7);
            CHECK(current.Shown() == expected.first);
            CHECK(read.status == expected.status);
            CHECK(read.timestamp == events[1].timestamp);
        }
        CHECK(point.release()->Release() == 0);
        CHECK(SimLiveSubscriptions(expected.point) == 0);
    }
    CHECK(session.receiver.references == 2);
}

TEST_CASE("names that are no point are refused; the host is matched without regard to case")
{
    Session session;
    const std::wstring host = Host();
    for (const std::wstring& itemId :
         {ItemId(L"proc1\\Nothing"), ItemId(L"proc1"), ItemId(L"proc1\\Waveform"), ItemId(L"PROC1\\Constant"),
          ItemId(L""), L"\\\\" + host, ItemId(L"mem\\"), ItemId(L"mem\\a\\b"), std::wstring(L"proc1\\Constant"),
          std::wstring(L"\\\\no.such.host\\proc1\\Constant"), std::wstring()}) {
        CAPTURE(itemId);
        CHECK(Refused(session.link, itemId) == KELVANE_E_UNKNOWNPOINT);
    }
    CHECK(SimLiveSubscriptions(nullptr) == 0);

    std::wstring otherCase = ItemId(L"proc1\\Constant");
    CharLowerBuffW(otherCase.data(), static_cast<DWORD>(2 + host.size()));
    tl::IKelvanePoint* point = nullptr;
    CHECK(session.link->Subscribe(otherCase.c_str(), Cookie(2), &kRequest, &point) == S_OK);
    REQUIRE(point != nullptr);
    point->Release();
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).empty());
}

TEST_CASE("writes are stored and reported back to every subscription of the point")
{
    SimReset();
    Session session;
    PointRef setpoint = session.Subscribe(L"proc1\\Setpoint", Cookie(1));
    PointRef again = session.Subscribe(L"proc1\\Setpoint", Cookie(2));
    CHECK(SimLiveSubscriptions(L"proc1\\Setpoint") == 2);
    const tl::KelvaneValue written = Double(12.5);
    CHECK(setpoint->Write(&written) == S_OK);
    Flush();
    for (void* cookie : {Cookie(1), Cookie(2)}) {
        const std::vector<Event> events = session.receiver.EventsFor(cookie);
        REQUIRE(events.size() == 3);
        CHECK(events[2].mask == 0x7);
        CHECK(events[2].Real() == 12.5);
    }
    CHECK(ReadCurrent(again.get()).value.payload.real == 12.5);

    // A value of another type, or a write to a read-only point, is refused and reports nothing.
    const tl::KelvaneValue flag = Value(tl::kvBool, 1);
    CHECK(setpoint->Write(&flag) == KELVANE_E_TYPEMISMATCH);
    const tl::KelvaneValue big = Value(tl::kvUInt64);
    CHECK(setpoint->Write(&big) == KELVANE_E_TYPEMISMATCH);
    PointRef constant = session.Subscribe(L"proc1\\Constant", Cookie(3));
    CHECK(constant->Write(&written) == KELVANE_E_READONLY);
    CHECK(ReadCurrent(constant.get()).value.payload.real == 42.0);
    // A write-only point takes writes and reports nothing.
    PointRef writeOnly = session.Subscribe(L"proc1\\WriteOnly", Cookie(4));
    CHECK(writeOnly->Write(&written) == S_OK);
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).size() == 3);
    CHECK(session.receiver.EventsFor(Cookie(3)).size() == 2);
    CHECK(session.receiver.EventsFor(Cookie(4)).size() == 1);
    CHECK(ReadCurrent(writeOnly.get()).mask == 0);
}

TEST_CASE("a mem point holds any value written to it until a reset; texts are copied, read as new objects")
{
    SimReset();
    const LONG textObjectsBefore = SimLiveTextObjects();
    Session session;
    PointRef memory = session.Subscribe(L"mem\\scratch", Cookie(1));
    IUnknown* text = Export<tl::NewUnicodeGutsFn>(L"twdynam.dll", "NewUnicodeGuts")(L"hello");
    tl::KelvaneValue written = Value(tl::kvWideText);
    written.payload.object = text;
    CHECK(memory->Write(&written) == S_OK);
    CHECK(text->Release() == 0);  // the network copied the text and kept no reference
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).back().Shown() == "\"hello\"");
    CHECK(SimLiveTextObjects() == textObjectsBefore);

    const Read read = ReadCurrent(memory.get());
    CHECK(SimLiveTextObjects() == textObjectsBefore + 1);  // the read's own copy
    CHECK(Reported(read).Shown() == "\"hello\"");
    CHECK(SimLiveTextObjects() == textObjectsBefore);

    const tl::KelvaneValue nothing = Value(tl::kvNull);
    CHECK(memory->Write(&nothing) == S_OK);
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).back().type == tl::kvNull);
    tl::KelvanePointInfo info{};
    CHECK(memory->GetInfo(&info) == S_OK);
    CHECK(info.type == tl::kvNull);

    // The point outlives its subscription, with its value, until a reset forgets it.
    memory.reset();
    memory = session.Subscribe(L"mem\\scratch", Cookie(2));
    CHECK(ReadCurrent(memory.get()).value.type == tl::kvNull);
    memory.reset();
    SimReset();
    memory = session.Subscribe(L"mem\\scratch", Cookie(3));
    CHECK(ReadCurrent(memory.get()).value.type == tl::kvDouble);
}

TEST_CASE("the control API reports status, point status and raw values, and makes reads fail")
{
    SimReset();
    Session session;
    PointRef setpoint = session.Subscribe(L"proc1\\Setpoint", Cookie(1));
    PointRef silent = session.Subscribe(L"proc1\\Silent", Cookie(2));

    const SimPointUpdate bad = StatusUpdate(7);
    CHECK(SimUpdatePoint(ItemId(L"proc1\\Setpoint").c_str(), &bad) == S_OK);
    CHECK(SimSendPointStatus(L"proc1\\Setpoint", 5) == S_OK);
    CHECK(SimSendRawValue(L"proc1\\Setpoint", tl::kvUInt64, 0x1234) == S_OK);
    const SimPointUpdate late = DoubleUpdate(3.5);
    CHECK(SimUpdatePoint(L"proc1\\Silent", &late) == S_OK);
    Flush();

    std::vector<Event> events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 5);
    CHECK(events[2].kind == Event::Value);
    CHECK(events[2].mask == 0x6);
    CHECK(events[2].status == 7);
    CHECK(events[3].kind == Event::PointStatus);
    CHECK(events[3].status == 5);
    CHECK(events[4].mask == 0x7);
    CHECK(events[4].type == tl::kvUInt64);
    CHECK(events[4].bits == 0x1234);
    CHECK(events[4].status == 7);
    CHECK(ReadCurrent(setpoint.get()).value.type == tl::kvDouble);  // the raw value was not kept
    CHECK(session.receiver.EventsFor(Cookie(2)).back().Real() == 3.5);
    CHECK(ReadCurrent(silent.get()).mask == 0x7);

    CHECK(SimUpdatePoint(L"proc1\\Nothing", &late) == KELVANE_E_UNKNOWNPOINT);
    CHECK(SimUpdatePoint(L"proc1\\Waveform.ramp", &late) == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));

    CHECK(SimFailReadCurrent(L"proc1\\Setpoint", E_ACCESSDENIED) == S_OK);
    const Read failed = ReadCurrent(setpoint.get());
    CHECK(failed.result == E_ACCESSDENIED);
    CHECK(failed.mask == 0);
    CHECK(SimFailReadCurrent(L"proc1\\Setpoint", S_OK) == S_OK);
    CHECK(ReadCurrent(setpoint.get()).result == S_OK);
    CHECK(SimFailReadCurrent(L"proc1\\Nothing", E_FAIL) == KELVANE_E_UNKNOWNPOINT);

    // A reset gives every point its first value and status back, tells the subscribers, and
    // clears read failures.
    CHECK(SimFailReadCurrent(L"proc1\\Setpoint", E_FAIL) == S_OK);
    SimReset();
    Flush();
    CHECK(ReadCurrent(silent.get()).mask == 0);
    events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 6);
    CHECK(events[5].Real() == 0.0);
    CHECK(events[5].status == 0);
    CHECK(ReadCurrent(setpoint.get()).result == S_OK);
}

TEST_CASE("a paused clock moves only when stepped, and the waveforms follow it")
{
    SimReset();
    SimPauseClock();
    Session session;
    PointRef ramp = session.Subscribe(L"proc1\\Waveform.ramp", Cookie(1));
    Flush();
    const std::uint64_t start = SimGetClockTicks();
    SimStepClock(3);
    Flush();
    CHECK(SimGetClockTicks() == start + 3);
    const std::vector<Event> ramps = session.receiver.EventsFor(Cookie(1));
    REQUIRE(ramps.size() == 5);
    for (std::uint64_t step = 0; step <= 3; ++step)
        CHECK(ramps[1 + step].Real() == static_cast<double>((start + step) % 100));
    Sleep(250);
    CHECK(SimGetClockTicks() == start + 3);  // nothing ticked on its own
    SimResumeClock();
}

TEST_CASE("no callback for a subscription runs after its Release has returned")
{
    SimReset();
    Session session;
    constexpr std::size_t kCookies = 4096;
    auto released = std::make_unique<std::atomic<bool>[]>(kCookies);
    std::atomic<std::size_t> nextCookie{1};
    std::atomic<int> lateCallbacks{0};
    session.receiver.hook = [&](const Event& event) {
        if (released[reinterpret_cast<std::uintptr_t>(event.cookie)]) ++lateCallbacks;
        if (reinterpret_cast<std::uintptr_t>(event.cookie) % 3 == 0) Sleep(0);  // widen the window
    };

    const std::wstring host = Host();  // looked up here: a failing REQUIRE must not throw in a thread
    std::atomic<int> failures{0};
    const DWORD until = GetTickCount() + 400;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 3; ++thread) {
        threads.emplace_back([&, thread] {
            const std::wstring itemId = L"\\\\" + host + L"\\mem\\stress" + std::to_wstring(thread);
            for (std::size_t cookie; GetTickCount() < until && (cookie = nextCookie++) < kCookies;) {
                tl::IKelvanePoint* subscribed = nullptr;
                if (session.link->Subscribe(itemId.c_str(), Cookie(cookie), &kRequest, &subscribed) != S_OK) {
                    ++failures;
                    return;
                }
                for (int write = 0; write < 5; ++write) {
                    const tl::KelvaneValue value = Double(write);
                    subscribed->Write(&value);
                }
                subscribed->Release();
                released[cookie] = true;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    Flush();
    CHECK(failures == 0);
    CHECK(lateCallbacks == 0);
    CHECK(nextCookie > 3);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
}

TEST_CASE("browsing lists the computer's tree, with each child's item ID")
{
    SimReset();
    const std::wstring host = L"\\\\" + Host();
    const std::wstring proc1 = host + L"\\proc1";
    const bool branch = false;
    const bool leaf = true;

    CHECK(Listing(L"\\") == std::vector<Listed>{{host, L'\\', branch, 0, 0, host}});
    CHECK(Listing(host) == std::vector<Listed>{{L"proc1", L'\\', branch, 0, 0, proc1},
                                               {L"proc2", L'\\', branch, 0, 0, host + L"\\proc2"},
                                               {L"mem", L'\\', branch, 0, 0, host + L"\\mem"}});
    // The levels below the processes are checked through COM in browse_test.
    CHECK(Listing(host + L"\\mem").empty());
    {
        Session session;
        PointRef memory = session.Subscribe(L"mem\\b", Cookie(1));
        PointRef other = session.Subscribe(L"mem\\a", Cookie(2));
        const SimPointUpdate text = Update(SIM_UPDATE_VALUE, SIM_VALUE_TEXT, 0, L"t");
        CHECK(SimUpdatePoint(L"mem\\b", &text) == S_OK);
        CHECK(Listing(host + L"\\mem") == std::vector<Listed>{{L"a", L'\\', leaf, 3, 3, host + L"\\mem\\a"},
                                                              {L"b", L'\\', leaf, 0x1006, 3, host + L"\\mem\\b"}});
    }

    std::wstring lowerHost = proc1;
    CharLowerBuffW(lowerHost.data(), static_cast<DWORD>(host.size()));
    CHECK(Listing(lowerHost).size() == 8);
    for (const std::wstring& unknown : {proc1 + L"\\Setpoint", proc1 + L"\\", host + L"\\proc3", host + L"\\PROC1",
                                        std::wstring(L"\\\\no.such.host"), std::wstring(L"\\\\"), std::wstring()}) {
        CAPTURE(unknown);
        CHECK(Listing(unknown, KELVANE_E_UNKNOWNPATH).empty());
    }
}

TEST_CASE("bench points all change on every tick, in several batches, and are counted")
{
    SimReset();
    SimPauseClock();
    CHECK(SimStartBench(0, 0) == E_INVALIDARG);
    CHECK(SimStartBench(1'000'001, 0) == E_INVALIDARG);
    CHECK(SimStartBench(10, 0x2) == E_INVALIDARG);
    constexpr std::size_t kPoints = 1500;  // more than one batch reports
    REQUIRE(SimStartBench(kPoints, 0) == S_OK);

    auto session = std::make_unique<Session>();
    for (const wchar_t* unknown :
         {L"bench\\p1500", L"bench\\p01", L"bench\\p", L"bench\\p-1", L"bench\\p1x", L"bench"}) {
        CAPTURE(std::wstring(unknown));
        CHECK(Refused(session->link, ItemId(unknown)) == KELVANE_E_UNKNOWNPOINT);
    }
    std::vector<PointRef> points;
    for (std::size_t i = 0; i < kPoints; ++i)
        points.push_back(session->Subscribe(L"bench\\p" + std::to_wstring(i), Cookie(i + 1)));
    CHECK(SimLiveSubscriptions(L"bench\\p1499") == 1);
    Flush();
    const ULONGLONG start = SimGetClockTicks();
    SimDeliveryStats before{}, after{};
    SimGetDeliveryStats(&before);
    SimStepClock(1);
    Flush();
    SimGetDeliveryStats(&after);
    CHECK(after.ticks == before.ticks + 1);
    CHECK(after.benchReports == before.benchReports + kPoints);

    // Ticks that come before their values are out reach each point once, with the newest value.
    SimStepClock(3);
    Flush();
    const SimPointUpdate status = StatusUpdate(4);
    CHECK(SimUpdatePoint(L"bench\\p7", &status) == S_OK);
    const SimPointUpdate value = DoubleUpdate(1.0);
    CHECK(SimUpdatePoint(L"bench\\p7", &value) == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    const tl::KelvaneValue written = Double(1.0);
    CHECK(points[7]->Write(&written) == KELVANE_E_READONLY);
    SimStepClock(1);
    Flush();
    SimStopBench();  // the points keep their last values
    SimStepClock(2);
    Flush();

    // Per point the values reported: on subscribing, at the first tick, the newest of three,
    // and the one that came with the status; a status alone comes without a value.
    std::vector<std::vector<double>> values(kPoints);
    std::vector<std::uint32_t> lastStatus(kPoints);
    int statusReports = 0;
    DWORD thread = 0;
    for (const Event& event : session->receiver.Events()) {
        const std::size_t index = reinterpret_cast<std::uintptr_t>(event.cookie) - 1;
        if (event.kind == Event::PointInfo) {
            REQUIRE(event.type == tl::kvDouble);
            REQUIRE(event.access == 0x1);
        } else if (event.mask == 0x6) {
            ++statusReports;
        } else {
            REQUIRE(event.mask == 0x7);
            REQUIRE(event.type == tl::kvDouble);
            values[index].push_back(event.Real());
            lastStatus[index] = event.status;
            thread = event.thread;
        }
    }
    CHECK(statusReports == 1);
    CHECK(after.deliveryThreadId == thread);
    const auto valueAt = [](ULONGLONG tick, std::size_t i) {
        return static_cast<double>(tick) + static_cast<double>(i) * 0.001;
    };
    for (std::size_t i = 0; i < kPoints; ++i) {
        CAPTURE(i);
        REQUIRE(values[i] == std::vector<double>{valueAt(start, i), valueAt(start + 1, i), valueAt(start + 4, i),
                                                 valueAt(start + 5, i)});
        REQUIRE(lastStatus[i] == (i == 7 ? 4u : 0u));
    }
    const Read read = ReadCurrent(points[42].get());
    CHECK(read.mask == 0x7);
    CHECK(read.value.payload.real == valueAt(start + 5, 42));

    // While subscribed the points cannot be replaced; the listing follows the option.
    CHECK(SimStartBench(10, 0) == HRESULT_FROM_WIN32(ERROR_BUSY));
    const std::wstring host = L"\\\\" + Host();
    Listing(host + L"\\bench", KELVANE_E_UNKNOWNPATH);
    REQUIRE(SimStartBench(kPoints, SIM_BENCH_LISTED) == S_OK);
    CHECK(Listing(host).front() == Listed{L"bench", L'\\', false, 0, 0, host + L"\\bench"});
    const std::vector<Listed> listed = Listing(host + L"\\bench");
    REQUIRE(listed.size() == kPoints);
    CHECK(listed[kPoints - 1] == Listed{L"p1499", L'\\', true, 3, 1, host + L"\\bench\\p1499"});

    // A reset forgets points that nobody subscribes.
    points.clear();
    session.reset();
    SimReset();
    CHECK(Listing(host).size() == 3);
    CHECK(Refused(Session().link, ItemId(L"bench\\p0")) == KELVANE_E_UNKNOWNPOINT);
}
