// The simulated network's points, subscribed, read, written and browsed the way the server
// does it: through the exports, with the server's own declarations of the binary contract.

#include <doctest.h>

#include <sim/kelvane.h>
#include <sim/simctl.h>
#include <twopc/link/KelvaneLink.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tl = twopc::link;

namespace {

constexpr DWORD kFlushTimeoutMs = 10000;

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

std::wstring ItemId(const std::wstring& below)
{
    return L"\\\\" + Host() + L"\\" + below;
}

void Flush()
{
    REQUIRE(SimWaitForDeliveries(kFlushTimeoutMs));
}

// What one callback brought, with any text copied out during the call.
struct Event {
    enum Kind { PointInfo, Value, PointStatus };

    Event(Kind kind, void* cookie) : kind(kind), cookie(cookie) {}

    Kind kind;
    void* cookie = nullptr;
    std::uint32_t mask = 0;
    std::uint32_t type = 0;
    std::uint32_t access = 0;
    std::uint64_t bits = 0;
    std::wstring text;
    std::uint32_t status = 0;  // the code of a point status
    std::uint64_t timestamp = 0;
    DWORD thread = 0;

    double Real() const { return std::bit_cast<double>(bits); }
};

class RecordingReceiver : public tl::IKelvaneRealTimeReceiver {
public:
    // IUnknown: lives on the test's stack, so the count only has to come back to 1.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    // IKelvaneRealTimeReceiver
    HRESULT STDMETHODCALLTYPE OnValue(void* cookie, std::uint32_t mask, const tl::KelvaneValue* value,
                                      std::uint32_t status, std::uint64_t timestamp) override
    {
        Event event(Event::Value, cookie);
        event.mask = mask;
        event.type = value->type;
        event.bits = value->payload.bits;
        event.status = status;
        event.timestamp = timestamp;
        if (value->type == tl::kvWideText) {
            tl::IKelvaneWideText* text = nullptr;
            REQUIRE(value->payload.object->QueryInterface(tl::IID_IKelvaneWideText,
                                                          reinterpret_cast<void**>(&text)) == S_OK);
            event.text = text->GetText();
            text->Release();
        }
        return Record(std::move(event));
    }
    HRESULT STDMETHODCALLTYPE OnPointInfo(void* cookie, const tl::KelvanePointInfo* info) override
    {
        Event event(Event::PointInfo, cookie);
        event.mask = info->mask;
        event.type = info->type;
        event.access = info->access;
        return Record(std::move(event));
    }
    HRESULT STDMETHODCALLTYPE OnPointStatus(void* cookie, std::uint32_t code) override
    {
        Event event(Event::PointStatus, cookie);
        event.status = code;
        return Record(std::move(event));
    }

    std::vector<Event> EventsFor(void* cookie) const
    {
        std::scoped_lock lock(mutex_);
        std::vector<Event> matching;
        for (const Event& event : events_) {
            if (event.cookie == cookie) matching.push_back(event);
        }
        return matching;
    }

    std::atomic<ULONG> references{1};
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
class Session {
public:
    Session()
    {
        auto newRealTime = Export<tl::NewKelvaneRealTimeFn>(L"twrealt.dll", "NewKelvaneRealTime");
        REQUIRE(newRealTime(nullptr, &receiver, &link) == 1);
    }
    ~Session()
    {
        if (link) link->Release();
    }

    PointRef Subscribe(const std::wstring& below, void* cookie)
    {
        static const tl::KelvaneSubscription request{13, 7, 0, 0};
        tl::IKelvanePoint* point = nullptr;
        REQUIRE(link->Subscribe(ItemId(below).c_str(), cookie, &request, &point) == S_OK);
        REQUIRE(point != nullptr);
        return PointRef(point);
    }

    RecordingReceiver receiver;
    tl::IKelvaneRealTime* link = nullptr;
};

void* Cookie(std::uintptr_t number)
{
    return reinterpret_cast<void*>(number);
}

tl::KelvaneValue Value(std::uint32_t type, std::uint64_t bits = 0)
{
    tl::KelvaneValue value{};
    value.type = type;
    value.payload.bits = bits;
    return value;
}

tl::KelvaneValue Double(double real)
{
    return Value(tl::kvDouble, std::bit_cast<std::uint64_t>(real));
}

SimPointUpdate ValueUpdate(UINT type)
{
    SimPointUpdate update{};
    update.fields = SIM_UPDATE_VALUE;
    update.type = type;
    return update;
}

SimPointUpdate DoubleUpdate(double real)
{
    SimPointUpdate update = ValueUpdate(SIM_VALUE_DOUBLE);
    update.real = real;
    return update;
}

SimPointUpdate TextUpdate(const wchar_t* text)
{
    SimPointUpdate update = ValueUpdate(SIM_VALUE_TEXT);
    update.text = text;
    return update;
}

SimPointUpdate StatusUpdate(UINT status)
{
    SimPointUpdate update{};
    update.fields = SIM_UPDATE_STATUS;
    update.status = status;
    return update;
}

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

}  // namespace

TEST_CASE("a subscription gets point info, then the current value, on the network's own thread")
{
    SimReset();
    Session session;
    PointRef constant = session.Subscribe(L"proc1\\Constant", Cookie(1));
    CHECK(SimLiveSubscriptions(nullptr) == 1);
    CHECK(SimLiveSubscriptions(L"proc1\\Constant") == 1);
    CHECK(SimLiveSubscriptions(ItemId(L"proc1\\Constant").c_str()) == 1);
    Flush();

    const std::vector<Event> events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 2);
    CHECK(events[0].kind == Event::PointInfo);
    CHECK(events[0].mask == 0x6);
    CHECK(events[0].type == tl::kvDouble);
    CHECK(events[0].access == 0x1);
    CHECK(events[1].kind == Event::Value);
    CHECK(events[1].mask == 0x7);
    CHECK(events[1].type == tl::kvDouble);
    CHECK(events[1].Real() == 42.0);
    CHECK(events[1].status == 0);
    CHECK(events[1].timestamp != 0);
    CHECK(events[0].thread != GetCurrentThreadId());
    CHECK(events[1].thread == events[0].thread);

    tl::KelvanePointInfo info{};
    CHECK(constant->GetInfo(&info) == S_OK);
    CHECK(info.mask == 0x6);
    CHECK(info.type == tl::kvDouble);
    CHECK(info.access == 0x1);
    const Read read = ReadCurrent(constant.get());
    CHECK(read.result == S_OK);
    CHECK(read.mask == 0x7);
    CHECK(read.value.type == tl::kvDouble);
    CHECK(read.value.payload.real == 42.0);
    CHECK(read.status == 0);
    CHECK(read.timestamp == events[1].timestamp);

    CHECK(constant.release()->Release() == 0);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    CHECK(SimLiveSubscriptions(L"proc1\\Constant") == 0);
    CHECK(session.receiver.references == 2);
}

TEST_CASE("names that are no point are refused; the host is matched without regard to case")
{
    Session session;
    const tl::KelvaneSubscription request{13, 7, 0, 0};
    const std::wstring host = Host();
    for (const std::wstring& itemId :
         {ItemId(L"proc1\\Nothing"), ItemId(L"proc1"), ItemId(L"proc1\\Waveform"), ItemId(L"PROC1\\Constant"),
          ItemId(L""), L"\\\\" + host, ItemId(L"mem\\"), ItemId(L"mem\\a\\b"), std::wstring(L"proc1\\Constant"),
          std::wstring(L"\\\\no.such.host\\proc1\\Constant"), std::wstring()}) {
        CAPTURE(itemId);
        auto* point = reinterpret_cast<tl::IKelvanePoint*>(1);
        CHECK(session.link->Subscribe(itemId.c_str(), Cookie(1), &request, &point) == kelvane::KELVANE_E_UNKNOWNPOINT);
        CHECK(point == nullptr);
    }
    CHECK(SimLiveSubscriptions(nullptr) == 0);

    std::wstring otherCase = ItemId(L"proc1\\Constant");
    CharLowerBuffW(otherCase.data(), static_cast<DWORD>(2 + host.size()));
    tl::IKelvanePoint* point = nullptr;
    CHECK(session.link->Subscribe(otherCase.c_str(), Cookie(2), &request, &point) == S_OK);
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
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).back().Real() == 0.0);

    const tl::KelvaneValue written = Double(12.5);
    CHECK(setpoint->Write(&written) == S_OK);
    Flush();
    for (void* cookie : {Cookie(1), Cookie(2)}) {
        const std::vector<Event> events = session.receiver.EventsFor(cookie);
        REQUIRE(events.size() == 3);
        CHECK(events[2].kind == Event::Value);
        CHECK(events[2].mask == 0x7);
        CHECK(events[2].Real() == 12.5);
    }
    CHECK(ReadCurrent(again.get()).value.payload.real == 12.5);

    SUBCASE("a value of another type is refused")
    {
        const tl::KelvaneValue flag = Value(tl::kvBool, 1);
        CHECK(setpoint->Write(&flag) == kelvane::KELVANE_E_TYPEMISMATCH);
        const tl::KelvaneValue big = Value(tl::kvUInt64);
        CHECK(setpoint->Write(&big) == kelvane::KELVANE_E_TYPEMISMATCH);
    }
    SUBCASE("a read-only point takes no write")
    {
        PointRef constant = session.Subscribe(L"proc1\\Constant", Cookie(3));
        CHECK(constant->Write(&written) == kelvane::KELVANE_E_READONLY);
        Flush();
        CHECK(session.receiver.EventsFor(Cookie(3)).size() == 2);
        CHECK(ReadCurrent(constant.get()).value.payload.real == 42.0);
    }
    SUBCASE("a write-only point takes writes and reports nothing")
    {
        PointRef writeOnly = session.Subscribe(L"proc1\\WriteOnly", Cookie(3));
        CHECK(writeOnly->Write(&written) == S_OK);
        Flush();
        const std::vector<Event> events = session.receiver.EventsFor(Cookie(3));
        REQUIRE(events.size() == 1);
        CHECK(events[0].kind == Event::PointInfo);
        CHECK(events[0].access == 0x2);
        CHECK(ReadCurrent(writeOnly.get()).mask == 0);
    }
    Flush();
    CHECK(session.receiver.EventsFor(Cookie(1)).size() == 3);
}

TEST_CASE("a mem point is made by its first subscription and holds any value written to it")
{
    SimReset();
    Session session;
    PointRef memory = session.Subscribe(L"mem\\scratch", Cookie(1));
    Flush();
    std::vector<Event> events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 2);
    CHECK(events[0].type == tl::kvDouble);
    CHECK(events[0].access == 0x3);
    CHECK(events[1].Real() == 0.0);

    IUnknown* text = Export<tl::NewUnicodeGutsFn>(L"twdynam.dll", "NewUnicodeGuts")(L"hello");
    tl::KelvaneValue written = Value(tl::kvWideText);
    written.payload.object = text;
    CHECK(memory->Write(&written) == S_OK);
    CHECK(text->Release() == 0);  // the network copied the text and kept no reference
    const tl::KelvaneValue nothing = Value(tl::kvNull);
    CHECK(memory->Write(&nothing) == S_OK);
    Flush();

    events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 4);
    CHECK(events[2].type == tl::kvWideText);
    CHECK(events[2].text == L"hello");
    CHECK(events[3].type == tl::kvNull);
    tl::KelvanePointInfo info{};
    memory->GetInfo(&info);
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

TEST_CASE("points without a value, a faulty point and a failing read")
{
    SimReset();
    Session session;
    PointRef silent = session.Subscribe(L"proc1\\Silent", Cookie(1));
    PointRef faulty = session.Subscribe(L"proc1\\Faulty", Cookie(2));
    Flush();

    CHECK(session.receiver.EventsFor(Cookie(1)).size() == 1);
    Read read = ReadCurrent(silent.get());
    CHECK(read.result == S_OK);
    CHECK(read.mask == 0);
    CHECK(read.value.type == tl::kvNull);  // untouched
    CHECK(read.status == 0);
    CHECK(read.timestamp == 0);

    const std::vector<Event> events = session.receiver.EventsFor(Cookie(2));
    REQUIRE(events.size() == 2);
    CHECK(events[1].Real() == 0.0);
    CHECK(events[1].status == SIM_FAULTY_STATUS);
    read = ReadCurrent(faulty.get());
    CHECK(read.mask == 0x7);
    CHECK(read.status == SIM_FAULTY_STATUS);

    CHECK(SimFailReadCurrent(L"proc1\\Faulty", E_ACCESSDENIED) == S_OK);
    read = ReadCurrent(faulty.get());
    CHECK(read.result == E_ACCESSDENIED);
    CHECK(read.mask == 0);
    CHECK(SimFailReadCurrent(L"proc1\\Faulty", S_OK) == S_OK);
    CHECK(ReadCurrent(faulty.get()).result == S_OK);
    CHECK(SimFailReadCurrent(L"proc1\\Nothing", E_FAIL) == kelvane::KELVANE_E_UNKNOWNPOINT);
}

TEST_CASE("text values are text objects that live only as long as their holder")
{
    SimReset();
    const LONG textObjectsBefore = SimLiveTextObjects();
    Session session;
    PointRef label = session.Subscribe(L"proc1\\Label", Cookie(1));
    const SimPointUpdate update = TextUpdate(L"stopped");
    CHECK(SimUpdatePoint(L"proc1\\Label", &update) == S_OK);
    Flush();

    const std::vector<Event> events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 3);
    CHECK(events[0].type == tl::kvWideText);
    CHECK(events[0].access == 0x3);
    CHECK(events[1].type == tl::kvWideText);
    CHECK(events[1].text == L"ready");
    CHECK(events[2].text == L"stopped");
    CHECK(SimLiveTextObjects() == textObjectsBefore);

    Read read = ReadCurrent(label.get());
    REQUIRE(read.value.type == tl::kvWideText);
    CHECK(SimLiveTextObjects() == textObjectsBefore + 1);
    tl::IKelvaneWideText* text = nullptr;
    REQUIRE(read.value.payload.object->QueryInterface(tl::IID_IKelvaneWideText, reinterpret_cast<void**>(&text)) ==
            S_OK);
    CHECK(std::wstring(text->GetText()) == L"stopped");
    text->Release();
    CHECK(read.value.payload.object->Release() == 0);
    CHECK(SimLiveTextObjects() == textObjectsBefore);
}

TEST_CASE("a paused clock moves only when stepped, and the waveforms follow it")
{
    SimReset();
    SimPauseClock();
    Session session;
    PointRef ramp = session.Subscribe(L"proc1\\Waveform.ramp", Cookie(1));
    PointRef toggle = session.Subscribe(L"proc1\\Waveform.toggle", Cookie(2));
    PointRef sine = session.Subscribe(L"proc1\\Waveform.sine", Cookie(3));
    Flush();
    const std::uint64_t start = SimGetClockTicks();
    const std::uint64_t toNextFlip = 10 - start % 10;
    SimStepClock(static_cast<UINT>(toNextFlip));
    Flush();
    CHECK(SimGetClockTicks() == start + toNextFlip);

    const std::vector<Event> ramps = session.receiver.EventsFor(Cookie(1));
    REQUIRE(ramps.size() == 2 + toNextFlip);
    for (std::uint64_t step = 0; step <= toNextFlip; ++step) {
        CHECK(ramps[1 + step].Real() == static_cast<double>((start + step) % 100));
    }
    const std::vector<Event> toggles = session.receiver.EventsFor(Cookie(2));
    REQUIRE(toggles.size() == 3);
    CHECK(toggles[0].type == tl::kvBool);
    CHECK((toggles[1].bits & 0xFF) == ((start / 10) % 2));
    CHECK((toggles[2].bits & 0xFF) == 1 - ((start / 10) % 2));
    const double angle = 2 * std::numbers::pi * static_cast<double>((start + toNextFlip) % 600) / 600;
    CHECK(ReadCurrent(sine.get()).value.payload.real == doctest::Approx(std::sin(angle)));

    CHECK(SimGetClockTicks() == start + toNextFlip);  // nothing ticked on its own
    SimResumeClock();
}

TEST_CASE("the control API reports status, point status and raw values to the subscriptions")
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

    events = session.receiver.EventsFor(Cookie(2));
    REQUIRE(events.size() == 2);
    CHECK(events[1].Real() == 3.5);
    CHECK(ReadCurrent(silent.get()).mask == 0x7);

    const SimPointUpdate none{};
    CHECK(SimUpdatePoint(L"proc1\\Setpoint", &none) == E_INVALIDARG);
    const SimPointUpdate oddType = ValueUpdate(tl::kvUInt64);
    CHECK(SimUpdatePoint(L"proc1\\Setpoint", &oddType) == E_INVALIDARG);
    CHECK(SimUpdatePoint(L"proc1\\Waveform.ramp", &late) == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    CHECK(SimUpdatePoint(L"proc1\\Waveform.ramp", &bad) == S_OK);
    CHECK(SimUpdatePoint(L"proc1\\Nothing", &late) == kelvane::KELVANE_E_UNKNOWNPOINT);
    CHECK(SimSendPointStatus(L"proc9\\x", 5) == kelvane::KELVANE_E_UNKNOWNPOINT);
    CHECK(SimSendRawValue(L"proc1\\Setpoint", tl::kvWideText, 0) == E_INVALIDARG);

    // A reset gives every point its first value and status back, and tells the subscribers.
    SimReset();
    Flush();
    CHECK(ReadCurrent(silent.get()).mask == 0);
    events = session.receiver.EventsFor(Cookie(1));
    REQUIRE(events.size() == 6);
    CHECK(events[5].Real() == 0.0);
    CHECK(events[5].status == 0);
}

TEST_CASE("Release waits for a running callback of its subscription")
{
    SimReset();
    Session session;
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> callbackFinished{false};
    session.receiver.hook = [&](const Event& event) {
        if (event.cookie != Cookie(1) || event.kind != Event::Value) return;
        SetEvent(entered);
        WaitForSingleObject(proceed, INFINITE);
        callbackFinished = true;
    };
    PointRef held = session.Subscribe(L"proc1\\Constant", Cookie(1));
    REQUIRE(WaitForSingleObject(entered, kFlushTimeoutMs) == WAIT_OBJECT_0);

    std::atomic<bool> releaseReturned{false};
    bool finishedBeforeReturn = false;
    std::thread releaser([&] {
        held.reset();
        finishedBeforeReturn = callbackFinished;
        releaseReturned = true;
    });
    Sleep(50);
    CHECK_FALSE(releaseReturned);
    SetEvent(proceed);
    releaser.join();
    CHECK(finishedBeforeReturn);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    CloseHandle(entered);
    CloseHandle(proceed);
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
    const auto ItemId = [&](const std::wstring& below) { return L"\\\\" + host + L"\\" + below; };
    const tl::KelvaneSubscription request{13, 7, 0, 0};
    std::atomic<int> failures{0};
    const DWORD until = GetTickCount() + 400;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 3; ++thread) {
        threads.emplace_back([&, thread] {
            const std::wstring name = L"mem\\stress" + std::to_wstring(thread);
            while (GetTickCount() < until) {
                const std::size_t cookie = nextCookie++;
                if (cookie >= kCookies) return;
                tl::IKelvanePoint* subscribed = nullptr;
                if (session.link->Subscribe(ItemId(name).c_str(), Cookie(cookie), &request, &subscribed) != S_OK) {
                    ++failures;
                    return;
                }
                PointRef point(subscribed);
                for (int write = 0; write < 5; ++write) {
                    const tl::KelvaneValue value = Double(write);
                    point->Write(&value);
                }
                point.reset();
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

TEST_CASE("releasing points from inside a callback does not deadlock")
{
    SimReset();
    SimPauseClock();
    const SimCounters before = [] {
        SimCounters counters{};
        SimGetCounters(&counters);
        return counters;
    }();
    auto session = std::make_unique<Session>();
    PointRef ramp;
    std::atomic<bool> armed{false};  // set once `ramp` holds the point
    std::atomic<bool> releasedInside{false};
    session->receiver.hook = [&](const Event& event) {
        if (armed && event.kind == Event::Value && !releasedInside.exchange(true)) ramp.reset();
    };

    SUBCASE("while the realtime interface lives on")
    {
        ramp = session->Subscribe(L"proc1\\Waveform.ramp", Cookie(1));
        Flush();  // point info and the first value arrive before the hook is armed
        armed = true;
        SimStepClock(5);
        Flush();
        CHECK(releasedInside);
        CHECK(session->receiver.EventsFor(Cookie(1)).size() == 3);  // info, first value, the value it released on
    }
    SUBCASE("as the last holder of the realtime interface")
    {
        ramp = session->Subscribe(L"proc1\\Waveform.ramp", Cookie(1));
        session->link->Release();  // the point now holds the interface alone
        session->link = nullptr;
        Flush();
        armed = true;
        SimStepClock(5);
        Flush();
        CHECK(releasedInside);
        SimCounters after{};
        SimGetCounters(&after);
        CHECK(after.liveRealTimes == before.liveRealTimes);
        CHECK(session->receiver.references == 1);

        // The delivery thread ended with that release; a new interface starts another.
        Session next;
        PointRef constant = next.Subscribe(L"proc1\\Constant", Cookie(2));
        Flush();
        CHECK(next.receiver.EventsFor(Cookie(2)).size() == 2);
    }
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    SimResumeClock();
}

namespace {

using Listed = std::tuple<std::wstring, wchar_t, bool, std::uint16_t, std::uint16_t, std::wstring>;

// Opens the path, expecting `opened`, and walks the listing to its end.
std::vector<Listed> Listing(const std::wstring& path, HRESULT opened = S_OK)
{
    auto newBrowser = Export<tl::NewKelvaneBrowserFn>(L"twbrow.dll", "NewKelvaneBrowser");
    struct : tl::IKelvaneBrowserReceiver {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE OnBrowse(void*, const void*) override { return S_OK; }
    } receiver;
    tl::IKelvaneBrowser* browser = nullptr;
    REQUIRE(newBrowser(nullptr, &receiver, &browser) == 1);
    std::vector<Listed> children;
    CHECK(browser->Open(path.c_str()) == opened);
    if (SUCCEEDED(opened)) {
        tl::KelvaneBrowseEntry entry{};
        HRESULT next;
        while ((next = browser->Next(tl::kBrowseFieldsWanted, &entry)) == S_OK) {
            CHECK(entry.mask == (tl::kBrowseFieldsWanted | kelvane::bfItemId));
            children.emplace_back(entry.name, static_cast<wchar_t>(entry.delimiter), entry.flags == 1, entry.type,
                                  entry.access, entry.secondName);
            SysFreeString(entry.name);
            SysFreeString(entry.secondName);
        }
        CHECK(next == kelvane::KELVANE_E_ENDOFLIST);
    }
    browser->Release();
    return children;
}

}  // namespace

TEST_CASE("browsing lists the computer's tree, with each child's item ID")
{
    SimReset();
    const std::wstring host = L"\\\\" + Host();
    const std::wstring proc1 = host + L"\\proc1";
    const std::wstring proc2 = host + L"\\proc2";
    const bool branch = false;
    const bool leaf = true;

    CHECK(Listing(L"\\") == std::vector<Listed>{{host, L'\\', branch, 0, 0, host}});
    CHECK(Listing(host) == std::vector<Listed>{{L"proc1", L'\\', branch, 0, 0, proc1},
                                               {L"proc2", L'\\', branch, 0, 0, proc2},
                                               {L"mem", L'\\', branch, 0, 0, host + L"\\mem"}});
    CHECK(Listing(proc1) == std::vector<Listed>{{L"Waveform", L'\\', branch, 0, 0, proc1 + L"\\Waveform"},
                                                {L"Setpoint", L'\\', leaf, 3, 3, proc1 + L"\\Setpoint"},
                                                {L"Label", L'\\', leaf, 0x1006, 3, proc1 + L"\\Label"},
                                                {L"Running", L'\\', leaf, 2, 3, proc1 + L"\\Running"},
                                                {L"Constant", L'\\', leaf, 3, 1, proc1 + L"\\Constant"},
                                                {L"WriteOnly", L'\\', leaf, 3, 2, proc1 + L"\\WriteOnly"},
                                                {L"Silent", L'\\', leaf, 3, 1, proc1 + L"\\Silent"},
                                                {L"Faulty", L'\\', leaf, 3, 1, proc1 + L"\\Faulty"}});
    CHECK(Listing(proc1 + L"\\Waveform") ==
          std::vector<Listed>{{L"sine", L'.', leaf, 3, 1, proc1 + L"\\Waveform.sine"},
                              {L"cosine", L'.', leaf, 3, 1, proc1 + L"\\Waveform.cosine"},
                              {L"ramp", L'.', leaf, 3, 1, proc1 + L"\\Waveform.ramp"},
                              {L"toggle", L'.', leaf, 2, 1, proc1 + L"\\Waveform.toggle"}});
    CHECK(Listing(proc2) == std::vector<Listed>{{L"Pump", L'\\', branch, 3, 1, proc2 + L"\\Pump"}});
    CHECK(Listing(proc2 + L"\\Pump") == std::vector<Listed>{{L"(implicit)", L'.', leaf, 3, 1, proc2 + L"\\Pump"},
                                                            {L"speed", L'.', leaf, 3, 3, proc2 + L"\\Pump.speed"},
                                                            {L"Tank-Level", L'.', leaf, 3, 3, proc2 + L"\\Pump.Tank"}});

    CHECK(Listing(host + L"\\mem").empty());
    {
        Session session;
        PointRef memory = session.Subscribe(L"mem\\b", Cookie(1));
        PointRef other = session.Subscribe(L"mem\\a", Cookie(2));
        const SimPointUpdate text = TextUpdate(L"t");
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
        CHECK(Listing(unknown, kelvane::KELVANE_E_UNKNOWNPATH).empty());
    }
}

namespace {

// Keeps, per bench point, the number of values and the last one; the cookie is the point's
// index + 1. Written on the delivery thread, read by the test after a flush.
class BenchReceiver : public tl::IKelvaneRealTimeReceiver {
public:
    explicit BenchReceiver(std::size_t points) : values(points), last(points), lastStatus(points), lastTimestamp(points)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    HRESULT STDMETHODCALLTYPE OnValue(void* cookie, std::uint32_t mask, const tl::KelvaneValue* value,
                                      std::uint32_t status, std::uint64_t timestamp) override
    {
        const std::size_t index = reinterpret_cast<std::uintptr_t>(cookie) - 1;
        lastStatus[index] = status;
        if (mask == 0x6) {
            ++statusReports;
            return S_OK;
        }
        if (mask != 0x7 || value->type != tl::kvDouble) ++malformed;
        ++values[index];
        last[index] = value->payload.real;
        lastTimestamp[index] = timestamp;
        thread = GetCurrentThreadId();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPointInfo(void*, const tl::KelvanePointInfo* info) override
    {
        if (info->type != tl::kvDouble || info->access != 0x1) ++malformed;
        ++pointInfos;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPointStatus(void*, std::uint32_t) override { return S_OK; }

    std::atomic<ULONG> references{1};
    std::vector<int> values;
    std::vector<double> last;
    std::vector<std::uint32_t> lastStatus;
    std::vector<std::uint64_t> lastTimestamp;
    int pointInfos = 0;
    int statusReports = 0;  // status and timestamp without a value
    int malformed = 0;
    DWORD thread = 0;
};

double BenchValue(ULONGLONG tick, std::size_t index)
{
    return static_cast<double>(tick) + static_cast<double>(index) * 0.001;
}

SimDeliveryStats DeliveryStats()
{
    SimDeliveryStats stats{};
    SimGetDeliveryStats(&stats);
    return stats;
}

}  // namespace

TEST_CASE("bench points all change on every tick, and the delivery statistics count them")
{
    SimReset();
    SimPauseClock();
    CHECK(SimStartBench(0, 0) == E_INVALIDARG);
    CHECK(SimStartBench(1'000'001, 0) == E_INVALIDARG);
    CHECK(SimStartBench(10, 0x2) == E_INVALIDARG);
    // More points than one batch reports, so that a tick's values take several batches.
    constexpr std::size_t kPoints = 1500;
    REQUIRE(SimStartBench(kPoints, 0) == S_OK);

    BenchReceiver receiver(kPoints);
    tl::IKelvaneRealTime* link = nullptr;
    REQUIRE(Export<tl::NewKelvaneRealTimeFn>(L"twrealt.dll", "NewKelvaneRealTime")(nullptr, &receiver, &link) == 1);
    const tl::KelvaneSubscription request{13, 7, 0, 0};
    for (const wchar_t* unknown : {L"bench\\p1500", L"bench\\p01", L"bench\\p", L"bench\\p-1", L"bench\\p1x", L"bench"}) {
        CAPTURE(std::wstring(unknown));
        tl::IKelvanePoint* point = nullptr;
        CHECK(link->Subscribe(ItemId(unknown).c_str(), Cookie(1), &request, &point) == kelvane::KELVANE_E_UNKNOWNPOINT);
    }
    std::vector<PointRef> points;
    for (std::size_t i = 0; i < kPoints; ++i) {
        tl::IKelvanePoint* point = nullptr;
        REQUIRE(link->Subscribe(ItemId(L"bench\\p" + std::to_wstring(i)).c_str(), Cookie(i + 1), &request, &point) ==
                S_OK);
        points.emplace_back(point);
    }
    CHECK(SimLiveSubscriptions(L"bench\\p1499") == 1);
    Flush();
    const ULONGLONG start = SimGetClockTicks();
    CHECK(receiver.pointInfos == static_cast<int>(kPoints));
    CHECK(receiver.values[0] == 1);
    CHECK(receiver.last[0] == BenchValue(start, 0));
    CHECK(receiver.last[kPoints - 1] == BenchValue(start, kPoints - 1));

    const SimDeliveryStats before = DeliveryStats();
    SimStepClock(1);
    Flush();
    const SimDeliveryStats after = DeliveryStats();
    CHECK(after.ticks == before.ticks + 1);
    CHECK(after.benchReports == before.benchReports + kPoints);
    CHECK(after.benchCallbackTime > before.benchCallbackTime);
    CHECK(after.deliveryCpuTime >= before.deliveryCpuTime);
    CHECK(after.deliveryThreadId == receiver.thread);
    CHECK(receiver.thread != GetCurrentThreadId());
    for (std::size_t i = 0; i < kPoints; ++i) {
        CAPTURE(i);
        REQUIRE(receiver.values[i] == 2);
        REQUIRE(receiver.last[i] == BenchValue(start + 1, i));
        REQUIRE(receiver.lastStatus[i] == 0);
        REQUIRE(receiver.lastTimestamp[i] == receiver.lastTimestamp[0]);
    }
    CHECK(receiver.lastTimestamp[0] != 0);

    // Ticks that come before their values are out reach each point once, with the newest value.
    SimStepClock(3);
    Flush();
    CHECK(DeliveryStats().benchReports == after.benchReports + kPoints);
    CHECK(receiver.values[0] == 3);
    CHECK(receiver.values[kPoints - 1] == 3);
    CHECK(receiver.last[kPoints - 1] == BenchValue(start + 4, kPoints - 1));

    const SimPointUpdate status = StatusUpdate(4);
    CHECK(SimUpdatePoint(L"bench\\p7", &status) == S_OK);
    const SimPointUpdate value = DoubleUpdate(1.0);
    CHECK(SimUpdatePoint(L"bench\\p7", &value) == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    const tl::KelvaneValue written = Double(1.0);
    CHECK(points[7]->Write(&written) == kelvane::KELVANE_E_READONLY);
    SimStepClock(1);
    Flush();
    CHECK(receiver.statusReports == 1);
    CHECK(receiver.values[7] == 4);  // the tick's value, with that status
    CHECK(receiver.lastStatus[7] == 4);
    CHECK(receiver.lastStatus[8] == 0);

    // Stopped, the points keep their last values.
    SimStopBench();
    SimStepClock(2);
    Flush();
    CHECK(receiver.values[0] == 4);
    CHECK(receiver.values[7] == 4);
    const Read read = ReadCurrent(points[42].get());
    CHECK(read.result == S_OK);
    CHECK(read.mask == 0x7);
    CHECK(read.value.payload.real == BenchValue(start + 5, 42));
    CHECK(receiver.malformed == 0);

    // The clock, running, changes them on its own.
    REQUIRE(SimStartBench(kPoints, 0) == S_OK);
    SimResumeClock();
    const ULONGLONG resumed = SimGetClockTicks();
    for (int waited = 0; SimGetClockTicks() < resumed + 2 && waited < 100; ++waited) Sleep(20);
    SimPauseClock();
    Flush();
    const ULONGLONG now = SimGetClockTicks();
    CHECK(now >= resumed + 2);
    CHECK(receiver.last[0] == BenchValue(now, 0));
    CHECK(receiver.last[kPoints - 1] == BenchValue(now, kPoints - 1));

    // While subscribed the points cannot be replaced; the listing follows the option.
    CHECK(SimStartBench(10, 0) == HRESULT_FROM_WIN32(ERROR_BUSY));
    const std::wstring host = L"\\\\" + Host();
    Listing(host + L"\\bench", kelvane::KELVANE_E_UNKNOWNPATH);
    CHECK(Listing(host).size() == 3);
    REQUIRE(SimStartBench(kPoints, SIM_BENCH_LISTED) == S_OK);
    CHECK(Listing(host).front() == Listed{L"bench", L'\\', false, 0, 0, host + L"\\bench"});
    const std::vector<Listed> listed = Listing(host + L"\\bench");
    REQUIRE(listed.size() == kPoints);
    CHECK(listed[0] == Listed{L"p0", L'\\', true, 3, 1, host + L"\\bench\\p0"});
    CHECK(listed[kPoints - 1] == Listed{L"p1499", L'\\', true, 3, 1, host + L"\\bench\\p1499"});

    points.clear();
    link->Release();
    CHECK(receiver.references == 1);
    CHECK(SimLiveSubscriptions(nullptr) == 0);
    SimReset();
    CHECK(Listing(host).size() == 3);
    CHECK(SimLiveSubscriptions(L"bench\\p0") == 0);
    Session session;
    tl::IKelvanePoint* gone = nullptr;
    CHECK(session.link->Subscribe(ItemId(L"bench\\p0").c_str(), Cookie(1), &request, &gone) ==
          kelvane::KELVANE_E_UNKNOWNPOINT);
}
