#pragma once
// The one simulated Tarnwell network of the process. It lives in twsock; twrealt and
// twbrow reach it through twsock's exports. Every public member may be called from any
// thread, except where noted.
//
// Reports to subscribers (point info, values, point status) are queued under the network's
// lock and made by one delivery thread with no lock held, so a receiver may call back into
// the network, and nothing is ever called back from inside a client's own call. The same
// thread runs the clock. It runs while any realtime interface lives, and is stopped by the
// release of the last one (never from DllMain; the network itself is never destroyed).
//
// Bench mode adds synthetic points bench\p<i> that all change on every tick. They are kept
// apart from the other points, and their changes are not queued one by one: a tick only
// records the new tick number, and the delivery thread then sweeps the points' subscriptions
// in batches, computing each value as it goes, so that reporting a value costs no allocation
// and no kernel call. The sweep is a ring: a tick that comes while a sweep is under way makes
// it go once more round all points from where it is, so that every point gets the latest
// value exactly once and values of points not yet reached are coalesced.

#include "StoredValue.h"
#include "SlimSync.h"

#include <sim/kelvane.h>
#include <sim/simctl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

enum class ValueSource { Stored, Sine, Cosine, Ramp, Toggle, Bench };

struct Subscription;

// A point of the local computer; its name is its item ID below "\\HOST\".
struct PointState {
    std::uint16_t type = kelvane::vtDouble;  // as reported by point info; a mem point's follows its value
    std::uint32_t access = kelvane::paReadable;
    ValueSource source = ValueSource::Stored;
    bool isMemory = false;
    bool storesWrites = true;  // a write-only point accepts writes and keeps nothing
    bool hasValue = true;
    StoredValue value;  // Stored only: the waveforms compute theirs from the clock
    std::uint32_t status = 0;
    std::uint64_t timestamp = 0;  // Stored only: the waveforms take the last tick's time
    HRESULT readFailure = S_OK;
    std::uint32_t benchIndex = 0;  // Bench only: i of bench\p<i>
    std::vector<std::shared_ptr<Subscription>> subscriptions;  // the live ones
};

// One subscription, guarded by the network's lock. The receiver is not counted here: the
// point interface that owns the subscription holds the realtime interface, which holds the
// receiver, and a callback starts only while the subscription is live and is waited for by
// the release that ends it. `live` is written under the lock but may be read without it: a
// bench sweep checks it before each callback of a batch whose members stay marked
// inCallback until the whole batch is done.
struct Subscription {
    kelvane::IKelvaneRealTimeReceiver* receiver = nullptr;
    void* cookie = nullptr;
    PointState* point = nullptr;
    std::atomic<bool> live{true};
    bool inCallback = false;
    DWORD callbackThread = 0;
};

// A failure that SimFailBrowse put on the listings of one path.
struct BrowseFailure {
    UINT afterEntries = SIM_BROWSE_AT_OPEN;
    HRESULT failure = S_OK;
};

// One child of a browsable path.
struct Child {
    std::wstring name;
    wchar_t delimiter = L'\\';
    bool leaf = false;
    std::uint16_t type = kelvane::vtEmpty;
    std::uint16_t access = 0;
    std::wstring itemId;
};

class Network {
public:
    static Network& Instance();

    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // Test control.
    void Reset();
    SimCounters Counters() const;
    void FailNextCreations(UINT kinds, UINT count);
    std::wstring ClientKind() const;

    void RecordClientKind(const wchar_t* kind);

    // Consumes one pending failure of this kind, if there is one.
    bool ClaimCreationFailure(SimLinkKind kind);

    // Adds delta to one live or created count; the objects that are counted call it.
    void Count(LONG SimCounters::*counter, LONG delta);

    // Realtime interfaces: the first one starts the delivery thread, the last one stops it.
    void RealTimeOpened();
    void RealTimeClosed();

    // KELVANE_E_UNKNOWNPOINT for an item ID that names no point; otherwise a live
    // subscription whose point info and current value are on their way.
    HRESULT Subscribe(const wchar_t* itemId, kelvane::IKelvaneRealTimeReceiver* receiver, void* cookie,
                      std::shared_ptr<Subscription>& subscription);
    // Ends the subscription. Waits while a callback for it runs on another thread.
    void Unsubscribe(const std::shared_ptr<Subscription>& subscription);
    HRESULT Write(const Subscription& subscription, StoredValue value);
    void Describe(const Subscription& subscription, kelvane::PointInfo& info) const;
    // False when the point has no value; `failure` is the injected ReadCurrent failure.
    bool Current(const Subscription& subscription, HRESULT& failure, StoredValue& value, std::uint32_t& status,
                 std::uint64_t& timestamp) const;

    // KELVANE_E_UNKNOWNPATH for a path that names nothing browsable.
    HRESULT ListChildren(const wchar_t* path, std::vector<Child>& children) const;
    // The failure that listings of the path given to Open are to meet, if any.
    std::optional<BrowseFailure> BrowseFailureFor(const wchar_t* path) const;
    HRESULT FailBrowse(const wchar_t* branch, UINT afterEntries, HRESULT failure);

    // Test control of points (simctl.h).
    void PauseClock();
    void ResumeClock();
    void StepClock(UINT ticks);
    std::uint64_t ClockTicks() const;
    HRESULT UpdatePoint(const wchar_t* point, const std::optional<StoredValue>& value,
                        const std::optional<std::uint32_t>& status);
    HRESULT SendPointStatus(const wchar_t* point, std::uint32_t code);
    HRESULT FailReadCurrent(const wchar_t* point, HRESULT failure);
    HRESULT SendRawValue(const wchar_t* point, std::uint32_t type, std::uint64_t payload);
    LONG LiveSubscriptions(const wchar_t* point) const;
    bool WaitForDeliveries(DWORD timeoutMs);

    // Bench mode (simctl.h).
    HRESULT StartBench(UINT points, UINT options);
    void StopBench();
    SimDeliveryStats DeliveryStats() const;

private:
    struct Delivery {
        enum class Kind { PointInfo, Value, PointStatus };
        Kind kind = Kind::Value;
        std::shared_ptr<Subscription> target;
        std::uint32_t mask = 0;
        StoredValue value;
        std::uint32_t status = 0;  // the point status code for PointStatus
        std::uint64_t timestamp = 0;
        std::uint16_t type = 0;
        std::uint32_t access = 0;
    };

    // One bench value on its way; the subscription is kept alive until its batch is done.
    struct BenchReport {
        std::shared_ptr<Subscription> target;
        double value = 0.0;
        std::uint32_t status = 0;
    };

    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kTickPeriod = std::chrono::milliseconds(100);
    // Bench reports made per batch, and points looked at per batch at most (so that a sweep
    // over points nobody subscribes does not hold the lock for long).
    static constexpr std::size_t kBenchBatchReports = 512;
    static constexpr std::size_t kQueuedBatchReports = 256;
    static constexpr std::size_t kBenchBatchPoints = 4096;

    Network();
    // The instance, with the bench points the environment asks for.
    static Network* StartedNetwork();

    // All *Locked members expect mutex_ to be held.
    std::optional<std::wstring> BelowLocalHost(const wchar_t* itemId) const;
    PointState* FindLocked(const std::wstring& name);
    const PointState* FindLocked(const std::wstring& name) const;
    // The index of bench\p<i> among the bench points; none for any other name.
    std::optional<std::size_t> BenchIndexLocked(std::wstring_view name) const;
    // A point named by its item ID or by its part below the host.
    std::optional<std::wstring> PointName(const wchar_t* point) const;
    PointState* ResolveLocked(const wchar_t* point);
    bool CurrentLocked(const PointState& point, StoredValue& value, std::uint32_t& status,
                       std::uint64_t& timestamp) const;
    void ReportLocked(PointState& point, std::uint32_t mask);
    void EnqueueLocked(Delivery delivery);
    // Queues a copy of `report` for every live subscription of the point.
    void BroadcastLocked(const PointState& point, Delivery report);
    void TickLocked();
    void ResetPointsLocked();
    std::wstring ItemIdOf(const std::wstring& name) const { return L"\\\\" + host_ + L"\\" + name; }
    // A browse path as Open takes it, or its part below the host, reduced to the part below
    // the host; the network root, a lone backslash, stays itself. None for a path of another
    // computer.
    std::optional<std::wstring> BrowseKey(const wchar_t* branch) const;

    void DeliveryLoop(std::uint64_t generation);
    // Delivers the report at the head of the queue; called with the lock held, returns with it.
    void DeliverQueuedLocked(std::unique_lock<SlimMutex>& lock, std::vector<Delivery>& batch);
    static void Deliver(const Delivery& delivery) noexcept;
    // Takes the next batch of the bench sweep and reports it; called with the lock held,
    // returns with it. `batch` is the delivery thread's own, reused so that it never allocates.
    void SweepBenchLocked(std::unique_lock<SlimMutex>& lock, std::vector<BenchReport>& batch);
    void StopBenchLocked();
    // The CPU time of the delivery thread that runs now is counted from its own handle;
    // threads that ended left theirs in retiredDeliveryCpu_.
    void RegisterDeliveryThreadLocked();
    void RetireDeliveryThreadLocked();
    // Busy time: from the thread's start or the end of a wait to the next wait or its end.
    void BeginBusyLocked(LARGE_INTEGER& since);
    void EndBusyLocked(const LARGE_INTEGER& since);

    const std::wstring host_;

    mutable SlimMutex mutex_;
    SimCounters counters_{};
    std::wstring clientKind_;
    UINT realTimeFailuresPending_ = 0;
    UINT browserFailuresPending_ = 0;
    std::map<std::wstring, BrowseFailure> browseFailures_;  // by BrowseKey

    std::map<std::wstring, PointState> points_;
    LONG liveSubscriptions_ = 0;

    std::uint64_t ticks_ = 0;
    std::uint64_t lastTickTime_ = 0;
    bool clockPaused_ = false;
    Clock::time_point nextTick_;

    // The reports not yet made, from queueHead_ on. A vector rather than a deque: a deque's
    // 512-byte blocks, made and freed by the hundred thousand while items are added, are
    // the size that Wine's heap finds last among fragments of its general free list.
    std::vector<Delivery> queue_;
    std::size_t queueHead_ = 0;
    int callbacksRunning_ = 0;
    SlimConditionVariable work_;     // the delivery thread waits for reports, ticks or its stop
    SlimConditionVariable settled_;  // a callback finished, or the queue ran dry

    LONG liveRealTimes_ = 0;
    std::uint64_t generation_ = 0;  // a delivery thread runs while this is the value it started with
    std::thread deliveryThread_;
    HANDLE deliveryThreadHandle_ = nullptr;  // of the thread of the current generation
    DWORD deliveryThreadId_ = 0;
    std::uint64_t retiredDeliveryCpu_ = 0;  // 100 ns units
    std::uint64_t deliveryBusyTime_ = 0;    // 100 ns units, of every delivery thread, up to its last wait
    LONGLONG busySince_ = 0;  // performance counter; 0 while the current thread waits

    // Bench mode. The points are indexed by i of bench\p<i>; subscriptions point into the
    // vector, so it is replaced only while none of them is subscribed.
    std::vector<PointState> benchPoints_;
    bool benchRunning_ = false;
    bool benchListed_ = false;
    LONG benchSubscriptions_ = 0;
    std::uint64_t benchTick_ = 0;       // the tick whose values the bench points hold
    std::uint64_t benchTimestamp_ = 0;  // and its time
    std::size_t benchSweepCursor_ = 0;     // the next point to visit
    std::size_t benchSweepRemaining_ = 0;  // points still to visit; 0 when no sweep runs
    std::uint64_t benchReports_ = 0;
    std::uint64_t benchCallbackTime_ = 0;  // 100 ns units
};

// The current time as a 64-bit UTC FILETIME.
std::uint64_t Now() noexcept;

}  // namespace sim
