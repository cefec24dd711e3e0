#include "Network.h"

#include "RecordPool.h"

#include "Namespace.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <numbers>
#include <utility>

namespace sim {
namespace {

constexpr std::uint32_t kAllFields = kelvane::vfValue | kelvane::vfStatus | kelvane::vfTimestamp;
constexpr std::uint64_t kWaveformPeriodTicks = 600;  // 60 s
constexpr std::uint64_t kRampLength = 100;
constexpr std::uint64_t kToggleTicks = 10;  // 1 s
constexpr std::wstring_view kBenchPrefix = L"bench\\p";
constexpr UINT kMaxBenchPoints = 1'000'000;

// Lets the delivery thread refuse to wait for itself.
thread_local bool onDeliveryThread = false;

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = ARRAYSIZE(name);
    if (!GetComputerNameW(name, &length)) return {};
    return std::wstring(name, length);
}

std::uint64_t ThreadCpuTime(HANDLE thread) noexcept
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
    const auto value = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return value(kernel) + value(user);
}

std::uint64_t PerformanceFrequency() noexcept
{
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<std::uint64_t>(value.QuadPart);
    }();
    return frequency;
}

// 100 ns units from `since` to now.
std::uint64_t ElapsedSince(LONGLONG since) noexcept
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart - since) * 10'000'000u / PerformanceFrequency();
}

double BenchValue(std::uint64_t tick, std::size_t index) noexcept
{
    return static_cast<double>(tick) + static_cast<double>(index) * 0.001;
}

PointState BenchPoint(std::uint32_t index)
{
    PointState point;
    point.type = kelvane::vtDouble;
    point.access = kelvane::paReadable;
    point.source = ValueSource::Bench;
    point.benchIndex = index;
    return point;
}

bool SameHost(std::wstring_view one, std::wstring_view other)
{
    return !one.empty() && CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::uint64_t Now() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

Network& Network::Instance()
{
    // Never destroyed: its destructor would run inside DllMain, where no thread may be joined.
    static Network* network = StartedNetwork();
    return *network;
}

Network* Network::StartedNetwork()
{
    auto* network = new Network;
    // A process that cannot be reached through the control API (the server in its local
    // server host, started by COM with its client's environment) gets its bench points
    // from the environment: TWOPC_SIM_BENCH_POINTS=N starts N of them, unlisted.
    wchar_t points[16];
    const DWORD length = GetEnvironmentVariableW(L"TWOPC_SIM_BENCH_POINTS", points, 16);
    if (length > 0 && length < 16) network->StartBench(static_cast<UINT>(std::wcstoul(points, nullptr, 10)), 0);
    return network;
}

Network::Network() : host_(ComputerName()), points_(DefaultPoints(Now())), lastTickTime_(Now()) {}

void Network::Reset()
{
    std::scoped_lock lock(mutex_);
    counters_.realTimesCreated = 0;
    counters_.browsersCreated = 0;
    clientKind_.clear();
    realTimeFailuresPending_ = 0;
    browserFailuresPending_ = 0;
    browseFailures_.clear();
    counters_.browseFailuresMade = 0;
    counters_.browseOpens = 0;
    ResetPointsLocked();
    StopBenchLocked();
    for (PointState& point : benchPoints_) {
        point.status = 0;
        point.readFailure = S_OK;
    }
    if (benchSubscriptions_ == 0) {
        benchPoints_ = {};
        benchListed_ = false;
        benchSweepCursor_ = 0;
        benchSweepRemaining_ = 0;
    }
    clockPaused_ = false;
    nextTick_ = Clock::now() + kTickPeriod;
    work_.notify_one();
}

void Network::ResetPointsLocked()
{
    const std::uint64_t now = Now();
    std::map<std::wstring, PointState> defaults = DefaultPoints(now);
    for (auto entry = points_.begin(); entry != points_.end();) {
        PointState& point = entry->second;
        if (point.isMemory && point.subscriptions.empty()) {
            entry = points_.erase(entry);
            continue;
        }
        PointState fresh = point.isMemory ? MemoryPoint(now) : std::move(defaults.at(entry->first));
        fresh.subscriptions = std::move(point.subscriptions);
        point = std::move(fresh);  // in place: subscriptions point at this map node
        if (point.source == ValueSource::Stored) ReportLocked(point, kAllFields);
        ++entry;
    }
}

SimCounters Network::Counters() const
{
    std::scoped_lock lock(mutex_);
    return counters_;
}

void Network::FailNextCreations(UINT kinds, UINT count)
{
    std::scoped_lock lock(mutex_);
    if (kinds & SIM_LINK_REALTIME) realTimeFailuresPending_ = count;
    if (kinds & SIM_LINK_BROWSER) browserFailuresPending_ = count;
}

std::wstring Network::ClientKind() const
{
    std::scoped_lock lock(mutex_);
    return clientKind_;
}

void Network::RecordClientKind(const wchar_t* kind)
{
    std::wstring copy(kind);  // allocate before locking, so a failure leaves the old record
    std::scoped_lock lock(mutex_);
    clientKind_.swap(copy);
}

bool Network::ClaimCreationFailure(SimLinkKind kind)
{
    std::scoped_lock lock(mutex_);
    UINT& pending = kind == SIM_LINK_REALTIME ? realTimeFailuresPending_ : browserFailuresPending_;
    if (pending == 0) return false;
    --pending;
    return true;
}

void Network::Count(LONG SimCounters::*counter, LONG delta)
{
    std::scoped_lock lock(mutex_);
    counters_.*counter += delta;
}

// ---- The delivery thread ----

void Network::RealTimeOpened()
{
    std::scoped_lock lock(mutex_);
    if (liveRealTimes_++ > 0) return;
    try {
        deliveryThread_ = std::thread(&Network::DeliveryLoop, this, ++generation_);
    } catch (...) {
        --liveRealTimes_;
        throw;
    }
}

void Network::RealTimeClosed()
{
    std::thread finished;
    {
        std::scoped_lock lock(mutex_);
        if (--liveRealTimes_ > 0) return;
        // Every point interface holds its realtime interface, so no subscription is live now.
        ++generation_;
        queue_.clear();
        queueHead_ = 0;
        benchSweepRemaining_ = 0;
        finished = std::move(deliveryThread_);
        work_.notify_all();
        settled_.notify_all();
    }
    if (!finished.joinable()) return;
    // The last release may come from a callback on the delivery thread itself; that thread
    // then sees its generation gone when the callback returns, and ends on its own.
    if (finished.get_id() == std::this_thread::get_id()) {
        finished.detach();
    } else {
        finished.join();
    }
}

void Network::DeliveryLoop(std::uint64_t generation)
{
    onDeliveryThread = true;
    std::vector<BenchReport> benchBatch;
    benchBatch.reserve(kBenchBatchReports);
    std::vector<Delivery> queuedBatch;
    queuedBatch.reserve(kQueuedBatchReports);
    std::unique_lock lock(mutex_);
    RegisterDeliveryThreadLocked();
    LARGE_INTEGER busySince;
    BeginBusyLocked(busySince);
    nextTick_ = Clock::now() + kTickPeriod;
    while (generation_ == generation) {
        if (!clockPaused_) {
            const Clock::time_point now = Clock::now();
            if (now >= nextTick_) {
                TickLocked();
                nextTick_ += kTickPeriod;
                if (nextTick_ + std::chrono::seconds(1) < now) nextTick_ = now + kTickPeriod;  // no burst after a stall
                continue;
            }
        }
        // Queued reports go first: a new subscription's point info and first value then
        // always come before any bench value swept to it.
        if (queueHead_ < queue_.size()) {
            DeliverQueuedLocked(lock, queuedBatch);
            continue;
        }
        if (benchSweepRemaining_ > 0) {
            SweepBenchLocked(lock, benchBatch);
            continue;
        }
        settled_.notify_all();
        EndBusyLocked(busySince);
        if (clockPaused_) {
            work_.wait(lock);
        } else {
            work_.wait_until(lock, nextTick_);
        }
        BeginBusyLocked(busySince);
    }
    EndBusyLocked(busySince);
    RetireDeliveryThreadLocked();
}

void Network::DeliverQueuedLocked(std::unique_lock<SlimMutex>& lock, std::vector<Delivery>& batch)
{
    // A batch at a time, like the bench sweep: one hand-over of the lock per batch rather
    // than two per report, since while items are added their subscriptions and this thread
    // meet at the lock for every report.
    const DWORD thread = GetCurrentThreadId();
    const std::size_t end = std::min(queue_.size(), queueHead_ + kQueuedBatchReports);
    for (; queueHead_ < end; ++queueHead_) {
        Delivery& delivery = queue_[queueHead_];
        if (!delivery.target->live) continue;
        delivery.target->inCallback = true;
        delivery.target->callbackThread = thread;
        batch.push_back(std::move(delivery));
    }
    // Emptied, the vector keeps its room for the next reports; under a steady stream that
    // never empties it, the reports made are dropped from the front now and then.
    if (queueHead_ == queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
    } else if (queueHead_ >= 4096 && queueHead_ * 2 >= queue_.size()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
        queueHead_ = 0;
    }
    if (batch.empty()) return;

    // As in the sweep, every member stays marked inCallback until the batch is done, and one
    // released meanwhile from a callback on this thread is skipped by the check of `live`.
    ++callbacksRunning_;
    lock.unlock();
    for (const Delivery& delivery : batch) {
        if (delivery.target->live.load(std::memory_order_acquire)) Deliver(delivery);
    }
    lock.lock();
    for (const Delivery& delivery : batch) delivery.target->inCallback = false;
    batch.clear();  // keeps its capacity for the next batch
    --callbacksRunning_;
    settled_.notify_all();
}

void Network::SweepBenchLocked(std::unique_lock<SlimMutex>& lock, std::vector<BenchReport>& batch)
{
    const DWORD thread = GetCurrentThreadId();
    const std::uint64_t tick = benchTick_;
    const std::uint64_t timestamp = benchTimestamp_;
    for (std::size_t visited = 0;
         benchSweepRemaining_ > 0 && batch.size() < kBenchBatchReports && visited < kBenchBatchPoints; ++visited) {
        const PointState& point = benchPoints_[benchSweepCursor_];
        for (const std::shared_ptr<Subscription>& subscription : point.subscriptions) {
            subscription->inCallback = true;
            subscription->callbackThread = thread;
            batch.push_back({subscription, BenchValue(tick, benchSweepCursor_), point.status});
        }
        if (++benchSweepCursor_ == benchPoints_.size()) benchSweepCursor_ = 0;
        --benchSweepRemaining_;
    }
    if (batch.empty()) return;

    // Every member stays marked inCallback until the batch is done, so that a release on
    // another thread waits for it; one released meanwhile from a callback on this thread is
    // skipped by the check of `live`, and the batch's reference keeps it valid until then.
    ++callbacksRunning_;
    lock.unlock();
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    std::uint64_t reported = 0;
    for (const BenchReport& report : batch) {
        const Subscription& target = *report.target;
        if (!target.live.load(std::memory_order_acquire)) continue;
        kelvane::Value value{};
        value.type = kelvane::vtDouble;
        value.payload.real = report.value;
        target.receiver->OnValue(target.cookie, kAllFields, &value, report.status, timestamp);
        ++reported;
    }
    const std::uint64_t callbackTime = ElapsedSince(started.QuadPart);
    lock.lock();
    for (const BenchReport& report : batch) report.target->inCallback = false;
    batch.clear();  // keeps its capacity for the next batch
    --callbacksRunning_;
    benchReports_ += reported;
    benchCallbackTime_ += callbackTime;
    settled_.notify_all();
}

void Network::RegisterDeliveryThreadLocked()
{
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    if (deliveryThreadHandle_) CloseHandle(deliveryThreadHandle_);  // a thread that still ends counts itself
    deliveryThreadHandle_ = self;
    deliveryThreadId_ = GetCurrentThreadId();
}

void Network::BeginBusyLocked(LARGE_INTEGER& since)
{
    QueryPerformanceCounter(&since);
    if (deliveryThreadId_ == GetCurrentThreadId()) busySince_ = since.QuadPart;
}

void Network::EndBusyLocked(const LARGE_INTEGER& since)
{
    deliveryBusyTime_ += ElapsedSince(since.QuadPart);
    if (deliveryThreadId_ == GetCurrentThreadId()) busySince_ = 0;
}

void Network::RetireDeliveryThreadLocked()
{
    retiredDeliveryCpu_ += ThreadCpuTime(GetCurrentThread());
    if (deliveryThreadId_ != GetCurrentThreadId()) return;  // a newer thread has taken over
    if (deliveryThreadHandle_) CloseHandle(deliveryThreadHandle_);
    deliveryThreadHandle_ = nullptr;
    deliveryThreadId_ = 0;
}

void Network::Deliver(const Delivery& delivery) noexcept
{
    // Receiver and cookie never change after Subscribe, so they are read without the lock.
    kelvane::IKelvaneRealTimeReceiver* receiver = delivery.target->receiver;
    void* cookie = delivery.target->cookie;
    switch (delivery.kind) {
    case Delivery::Kind::PointInfo: {
        kelvane::PointInfo info{};
        info.mask = kelvane::pfType | kelvane::pfAccess;
        info.type = delivery.type;
        info.access = delivery.access;
        receiver->OnPointInfo(cookie, &info);
        break;
    }
    case Delivery::Kind::Value: {
        kelvane::Value value{};
        if (FAILED(ToNetwork(delivery.value, value))) return;  // out of memory: the report is lost
        receiver->OnValue(cookie, delivery.mask, &value, delivery.status, delivery.timestamp);
        ReleasePayload(value);
        break;
    }
    case Delivery::Kind::PointStatus:
        receiver->OnPointStatus(cookie, delivery.status);
        break;
    }
}

bool Network::WaitForDeliveries(DWORD timeoutMs)
{
    if (onDeliveryThread) return false;
    std::unique_lock lock(mutex_);
    return settled_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return queueHead_ == queue_.size() && callbacksRunning_ == 0 && benchSweepRemaining_ == 0;
    });
}

void Network::EnqueueLocked(Delivery delivery)
{
    queue_.push_back(std::move(delivery));
    work_.notify_one();
}

void Network::BroadcastLocked(const PointState& point, Delivery report)
{
    for (const std::shared_ptr<Subscription>& subscription : point.subscriptions) {
        report.target = subscription;
        EnqueueLocked(report);
    }
}

// ---- The clock ----

void Network::TickLocked()
{
    ++ticks_;
    lastTickTime_ = Now();
    for (auto& [name, point] : points_) {
        if (point.source == ValueSource::Stored || point.subscriptions.empty()) continue;
        if (point.source == ValueSource::Toggle && ticks_ % kToggleTicks != 0) continue;
        ReportLocked(point, kAllFields);
    }
    if (benchRunning_) {
        benchTick_ = ticks_;
        benchTimestamp_ = lastTickTime_;
        // A sweep under way goes on from where it is, round all points once more.
        if (benchSubscriptions_ > 0) {
            benchSweepRemaining_ = benchPoints_.size();
            work_.notify_one();  // a stepped clock wakes a paused delivery thread
        }
    }
}

void Network::PauseClock()
{
    std::scoped_lock lock(mutex_);
    clockPaused_ = true;
}

void Network::ResumeClock()
{
    std::scoped_lock lock(mutex_);
    if (!clockPaused_) return;
    clockPaused_ = false;
    nextTick_ = Clock::now() + kTickPeriod;
    work_.notify_one();
}

void Network::StepClock(UINT ticks)
{
    std::scoped_lock lock(mutex_);
    for (UINT tick = 0; tick < ticks; ++tick) TickLocked();
}

std::uint64_t Network::ClockTicks() const
{
    std::scoped_lock lock(mutex_);
    return ticks_;
}

// ---- Points and subscriptions ----

std::optional<std::wstring> Network::BelowLocalHost(const wchar_t* itemId) const
{
    std::wstring_view id(itemId);
    if (id.size() < 2 || id[0] != L'\\' || id[1] != L'\\') return std::nullopt;
    id.remove_prefix(2);
    const std::size_t hostEnd = id.find(L'\\');
    if (!SameHost(id.substr(0, hostEnd), host_)) return std::nullopt;
    if (hostEnd == std::wstring_view::npos) return std::wstring();
    const std::wstring_view below = id.substr(hostEnd + 1);
    if (below.empty()) return std::nullopt;
    return std::wstring(below);
}

PointState* Network::FindLocked(const std::wstring& name)
{
    return const_cast<PointState*>(std::as_const(*this).FindLocked(name));
}

const PointState* Network::FindLocked(const std::wstring& name) const
{
    const auto found = points_.find(name);
    if (found != points_.end()) return &found->second;
    const std::optional<std::size_t> bench = BenchIndexLocked(name);
    return bench ? &benchPoints_[*bench] : nullptr;
}

std::optional<std::size_t> Network::BenchIndexLocked(std::wstring_view name) const
{
    if (!name.starts_with(kBenchPrefix)) return std::nullopt;
    const std::wstring_view digits = name.substr(kBenchPrefix.size());
    if (digits.empty() || digits.size() > 7 || (digits.size() > 1 && digits[0] == L'0')) return std::nullopt;
    std::size_t index = 0;
    for (const wchar_t digit : digits) {
        if (digit < L'0' || digit > L'9') return std::nullopt;
        index = index * 10 + static_cast<std::size_t>(digit - L'0');
    }
    if (index >= benchPoints_.size()) return std::nullopt;
    return index;
}

std::optional<std::wstring> Network::PointName(const wchar_t* point) const
{
    if (!point) return std::nullopt;
    if (point[0] != L'\\') return std::wstring(point);
    return BelowLocalHost(point);
}

PointState* Network::ResolveLocked(const wchar_t* point)
{
    const std::optional<std::wstring> name = PointName(point);
    return name ? FindLocked(*name) : nullptr;
}

bool Network::CurrentLocked(const PointState& point, StoredValue& value, std::uint32_t& status,
                            std::uint64_t& timestamp) const
{
    if (!point.hasValue) return false;
    status = point.status;
    timestamp = point.source == ValueSource::Stored ? point.timestamp
                : point.source == ValueSource::Bench ? benchTimestamp_
                                                     : lastTickTime_;
    const double angle = 2 * std::numbers::pi * static_cast<double>(ticks_ % kWaveformPeriodTicks) /
                         static_cast<double>(kWaveformPeriodTicks);
    switch (point.source) {
    case ValueSource::Stored:
        value = point.value;
        break;
    case ValueSource::Sine:
        value = StoredValue::Double(std::sin(angle));
        break;
    case ValueSource::Cosine:
        value = StoredValue::Double(std::cos(angle));
        break;
    case ValueSource::Ramp:
        value = StoredValue::Double(static_cast<double>(ticks_ % kRampLength));
        break;
    case ValueSource::Toggle:
        value = StoredValue::Boolean((ticks_ / kToggleTicks) % 2 != 0);
        break;
    case ValueSource::Bench:
        value = StoredValue::Double(BenchValue(benchTick_, point.benchIndex));
        break;
    }
    return true;
}

void Network::ReportLocked(PointState& point, std::uint32_t mask)
{
    Delivery report;
    report.mask = mask;
    if (CurrentLocked(point, report.value, report.status, report.timestamp)) BroadcastLocked(point, std::move(report));
}

HRESULT Network::Subscribe(const wchar_t* itemId, kelvane::IKelvaneRealTimeReceiver* receiver, void* cookie,
                           std::shared_ptr<Subscription>& subscription)
{
    const std::optional<std::wstring> name = BelowLocalHost(itemId);
    if (!name || name->empty()) return kelvane::KELVANE_E_UNKNOWNPOINT;
    // From the records' own pool, side by side for the bench sweep (see RecordPool.h).
    auto made = std::allocate_shared<Subscription>(PoolAllocator<Subscription>());
    made->receiver = receiver;
    made->cookie = cookie;

    std::scoped_lock lock(mutex_);
    PointState* point = FindLocked(*name);
    if (!point && IsMemoryName(*name)) point = &points_.emplace(*name, MemoryPoint(Now())).first->second;
    if (!point) return kelvane::KELVANE_E_UNKNOWNPOINT;
    made->point = point;
    point->subscriptions.push_back(made);
    try {
        Delivery info;
        info.kind = Delivery::Kind::PointInfo;
        info.target = made;
        info.type = point->type;
        info.access = point->access;
        EnqueueLocked(std::move(info));
        Delivery first;
        first.target = made;
        first.mask = kAllFields;
        if (CurrentLocked(*point, first.value, first.status, first.timestamp)) EnqueueLocked(std::move(first));
    } catch (...) {
        made->live = false;  // anything already queued for it is dropped by the delivery thread
        point->subscriptions.pop_back();
        throw;
    }
    ++liveSubscriptions_;
    if (point->source == ValueSource::Bench) ++benchSubscriptions_;
    subscription = std::move(made);
    return S_OK;
}

void Network::Unsubscribe(const std::shared_ptr<Subscription>& subscription)
{
    std::unique_lock lock(mutex_);
    if (!subscription->live) return;
    subscription->live = false;
    std::vector<std::shared_ptr<Subscription>>& list = subscription->point->subscriptions;
    list.erase(std::find(list.begin(), list.end(), subscription));
    --liveSubscriptions_;
    if (subscription->point->source == ValueSource::Bench) --benchSubscriptions_;
    // A callback that is already running must finish before the subscriber may go away. From
    // inside that callback there is nothing to wait for: its own remainder is the last of it.
    if (subscription->inCallback && subscription->callbackThread != GetCurrentThreadId()) {
        settled_.wait(lock, [&] { return !subscription->inCallback; });
    }
}

HRESULT Network::Write(const Subscription& subscription, StoredValue value)
{
    std::scoped_lock lock(mutex_);
    PointState& point = *subscription.point;
    if (!(point.access & kelvane::paWritable)) return kelvane::KELVANE_E_READONLY;
    if (!point.isMemory && value.type != point.type) return kelvane::KELVANE_E_TYPEMISMATCH;
    if (!point.storesWrites) return S_OK;
    if (point.isMemory) point.type = static_cast<std::uint16_t>(value.type);
    point.value = std::move(value);
    point.hasValue = true;
    point.timestamp = Now();
    ReportLocked(point, kAllFields);
    return S_OK;
}

void Network::Describe(const Subscription& subscription, kelvane::PointInfo& info) const
{
    std::scoped_lock lock(mutex_);
    info = {};
    info.mask = kelvane::pfType | kelvane::pfAccess;
    info.type = subscription.point->type;
    info.access = subscription.point->access;
}

bool Network::Current(const Subscription& subscription, HRESULT& failure, StoredValue& value,
                      std::uint32_t& status, std::uint64_t& timestamp) const
{
    std::scoped_lock lock(mutex_);
    failure = subscription.point->readFailure;
    return SUCCEEDED(failure) && CurrentLocked(*subscription.point, value, status, timestamp);
}

// ---- Test control of points ----

HRESULT Network::UpdatePoint(const wchar_t* name, const std::optional<StoredValue>& value,
                             const std::optional<std::uint32_t>& status)
{
    std::scoped_lock lock(mutex_);
    PointState* point = ResolveLocked(name);
    if (!point) return kelvane::KELVANE_E_UNKNOWNPOINT;
    if (value && point->source != ValueSource::Stored) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    const std::uint64_t now = Now();
    if (status) point->status = *status;
    if (point->source == ValueSource::Stored) point->timestamp = now;
    if (value) {
        point->value = *value;
        point->hasValue = true;
        if (point->isMemory) point->type = static_cast<std::uint16_t>(value->type);
        ReportLocked(*point, kAllFields);
        return S_OK;
    }
    Delivery report;
    report.mask = kelvane::vfStatus | kelvane::vfTimestamp;
    report.status = point->status;
    report.timestamp = now;
    BroadcastLocked(*point, std::move(report));
    return S_OK;
}

HRESULT Network::SendPointStatus(const wchar_t* name, std::uint32_t code)
{
    std::scoped_lock lock(mutex_);
    PointState* point = ResolveLocked(name);
    if (!point) return kelvane::KELVANE_E_UNKNOWNPOINT;
    Delivery report;
    report.kind = Delivery::Kind::PointStatus;
    report.status = code;
    BroadcastLocked(*point, std::move(report));
    return S_OK;
}

HRESULT Network::FailReadCurrent(const wchar_t* name, HRESULT failure)
{
    std::scoped_lock lock(mutex_);
    PointState* point = ResolveLocked(name);
    if (!point) return kelvane::KELVANE_E_UNKNOWNPOINT;
    point->readFailure = failure;
    return S_OK;
}

HRESULT Network::SendRawValue(const wchar_t* name, std::uint32_t type, std::uint64_t payload)
{
    std::scoped_lock lock(mutex_);
    PointState* point = ResolveLocked(name);
    if (!point) return kelvane::KELVANE_E_UNKNOWNPOINT;
    Delivery report;
    report.mask = kAllFields;
    report.value = StoredValue::Raw(type, payload);
    report.status = point->status;
    report.timestamp = Now();
    BroadcastLocked(*point, std::move(report));
    return S_OK;
}

LONG Network::LiveSubscriptions(const wchar_t* name) const
{
    std::scoped_lock lock(mutex_);
    if (!name) return liveSubscriptions_;
    const std::optional<std::wstring> pointName = PointName(name);
    const PointState* point = pointName ? FindLocked(*pointName) : nullptr;
    return point ? static_cast<LONG>(point->subscriptions.size()) : 0;
}

// ---- Bench mode ----

HRESULT Network::StartBench(UINT points, UINT options)
{
    if (points == 0 || points > kMaxBenchPoints || (options & ~UINT{SIM_BENCH_LISTED})) return E_INVALIDARG;
    std::vector<PointState> fresh;  // the old points, once swapped out, are freed after the lock is let go
    std::unique_lock lock(mutex_);
    if (benchPoints_.size() != points) {
        if (benchSubscriptions_ > 0) return HRESULT_FROM_WIN32(ERROR_BUSY);
        lock.unlock();
        fresh.reserve(points);
        for (UINT index = 0; index < points; ++index) fresh.push_back(BenchPoint(index));
        lock.lock();
        if (benchPoints_.size() != points) {
            if (benchSubscriptions_ > 0) return HRESULT_FROM_WIN32(ERROR_BUSY);
            benchPoints_.swap(fresh);
            benchSweepCursor_ = 0;
            benchSweepRemaining_ = 0;
        }
    }
    benchListed_ = (options & SIM_BENCH_LISTED) != 0;
    if (!benchRunning_) {
        benchRunning_ = true;
        benchTick_ = ticks_;
        benchTimestamp_ = Now();
    }
    return S_OK;
}

void Network::StopBench()
{
    std::scoped_lock lock(mutex_);
    StopBenchLocked();
}

void Network::StopBenchLocked()
{
    // A sweep under way finishes, so that every subscription ends with the last values.
    benchRunning_ = false;
}

SimDeliveryStats Network::DeliveryStats() const
{
    std::scoped_lock lock(mutex_);
    SimDeliveryStats stats{};
    stats.ticks = ticks_;
    stats.benchReports = benchReports_;
    stats.benchCallbackTime = benchCallbackTime_;
    stats.deliveryCpuTime = retiredDeliveryCpu_ + (deliveryThreadHandle_ ? ThreadCpuTime(deliveryThreadHandle_) : 0);
    stats.deliveryBusyTime = deliveryBusyTime_;
    if (busySince_ != 0) stats.deliveryBusyTime += ElapsedSince(busySince_);
    stats.deliveryThreadId = deliveryThreadId_;
    return stats;
}

}  // namespace sim
