// The item record: what the realtime link's callbacks leave in it. Initialisation (handles,
// the requested-type rule) is checked through COM in items_test.

#include <doctest.h>

#include "ComTest.h"

#include "orv/com/ComObject.h"
#include "sim/simctl.h"
#include "twopc/group/OPCGroup.h"
#include "twopc/group/OPCItem.h"
#include "twopc/link/LinkLibraries.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using twopc::group::COPCGroup;
using twopc::group::COPCItem;
using namespace twopc::link;
using twopc::test::Ticks;

namespace {

class NoSchedule final : public twopc::group::IUpdateSchedule {
public:
    void Insert(twopc::io::IScheduledGroup*, std::int64_t) override {}
    bool Remove(twopc::io::IScheduledGroup*) override { return true; }
    bool Retime(twopc::io::IScheduledGroup*, std::int64_t) override { return true; }
};

class NoOwner final : public twopc::group::CGroupOwner {
public:
    HRESULT RenameGroup(COPCGroup*, const std::wstring&, const std::wstring&) override { return S_OK; }
    std::wstring GenerateGroupName() override { return L"g"; }
    IOPCServer* Server() override { return nullptr; }
    void NoteDataDelivered() override {}
};

// One item on the memory point \\.\mem\x, in a group whose owner and schedule do nothing.
struct Fixture {
    NoOwner owner;
    NoSchedule schedule;
    orv::com::ComPtr<COPCGroup> group =
        orv::com::MakeComObject<COPCGroup>(std::make_shared<twopc::group::CGroupOwnerLink>(&owner), &schedule);
    COPCItem item{group.Get()};

    Fixture()
    {
        OPCITEMDEF definition{};
        definition.szItemID = const_cast<LPWSTR>(L"\\\\.\\mem\\x");
        definition.hClient = 11;
        OPCITEMRESULT result;
        REQUIRE(item.Initialise(definition, result) == S_OK);
    }
};

KelvaneValue Value(std::uint32_t type, std::uint64_t bits = 0)
{
    KelvaneValue value{};
    value.type = type;
    value.payload.bits = bits;
    return value;
}

// A text object as the link hands one over: the server asks for the wide-text interface
// and copies the text; the object stays the caller's.
class WideText final : public IKelvaneWideText {
public:
    explicit WideText(std::wstring text) : m_text(std::move(text)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid != IID_IUnknown && iid != IID_IKelvaneWideText) return *object = nullptr, E_NOINTERFACE;
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    std::uint32_t STDMETHODCALLTYPE GetLength() override { return static_cast<std::uint32_t>(m_text.size()); }
    HRESULT STDMETHODCALLTYPE SetText(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Append(const wchar_t*) override { return E_NOTIMPL; }
    const wchar_t* STDMETHODCALLTYPE GetText() override { return m_text.c_str(); }

private:
    std::wstring m_text;
};

std::uint64_t Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

}  // namespace

TEST_CASE("value arrivals: quality from the status, the value as a VARIANT, the timestamp")
{
    Fixture f;
    COPCItem& item = f.item;
    CHECK(item.CurrentState().quality == OPC_QUALITY_GOOD);
    CHECK_FALSE(item.CurrentState().valueArrived);

    KelvaneValue value = Value(kvDouble);
    value.payload.real = 2.5;
    item.ApplyArrival(kfValue | kfStatus | kfTimestamp, &value, 3, 0x01D0000000000000ull);
    auto state = item.CurrentState();
    CHECK(state.quality == OPC_QUALITY_BAD);
    CHECK(state.valueArrived);
    CHECK(Ticks(state.timestamp) == 0x01D0000000000000ull);
    orv::com::UniqueVariant current;
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_R8);
    CHECK(current->dblVal == 2.5);

    // Without the status bit the quality stays; without a timestamp the arrival time counts.
    std::uint64_t before = Now();
    value = Value(kvBool, 1);
    item.ApplyArrival(kfValue, &value, 0, 0);
    state = item.CurrentState();
    CHECK(state.quality == OPC_QUALITY_BAD);
    CHECK(Ticks(state.timestamp) >= before);
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_BOOL);
    CHECK(current->boolVal == VARIANT_TRUE);

    item.ApplyArrival(kfStatus, nullptr, 0, 0);
    CHECK(item.CurrentState().quality == OPC_QUALITY_GOOD);

    // A type the server does not take leaves the value empty and the failure as the read result.
    value = Value(kvUInt64, 7);
    item.ApplyArrival(kfValue | kfStatus, &value, 0, 0);
    state = item.CurrentState();
    CHECK(state.lastReadResult == E_FAIL);
    REQUIRE(item.CopyCurrentValue(current.Get()) == S_OK);
    CHECK(current->vt == VT_EMPTY);
    // The next number clears the failure, although numbers are otherwise published
    // without the item.
    value = Value(kvDouble);
    item.ApplyArrival(kfValue, &value, 0, 0);
    CHECK(item.CurrentState().lastReadResult == S_OK);
}

TEST_CASE("point information and point status drive the type, the rights and the arrival event")
{
    Fixture f;
    COPCItem& item = f.item;

    KelvanePointInfo info{};
    info.mask = 0x2 | 0x4;
    info.type = kvWideText;
    info.access = 0x1;
    item.ApplyPointInfo(info);
    auto state = item.CurrentState();
    CHECK(state.canonicalType == VT_BSTR);
    CHECK(state.accessRights == OPC_READABLE);
    CHECK_FALSE(state.valueArrived);

    // A write-only point never delivers a value: nobody may wait for one.
    info.mask = 0x4;
    info.access = 0x2;
    item.ApplyPointInfo(info);
    state = item.CurrentState();
    CHECK(state.accessRights == OPC_WRITEABLE);
    CHECK(state.canonicalType == VT_BSTR);
    CHECK(state.valueArrived);
    {
        // The scan reports nothing of an item it may not read.
        orv::com::CSingleLock hold(f.group->Lock());
        OPCHANDLE client = 0;
        orv::com::UniqueVariant reported;
        WORD quality = 0;
        FILETIME timestamp{};
        HRESULT result = S_OK;
        CHECK_FALSE(item.TestForChange(client, *reported.Get(), quality, timestamp, result));
        CHECK(result == OPC_E_BADRIGHTS);
        CHECK(client == 11);
    }

    item.ApplyPointStatus(4);
    CHECK(item.CurrentState().valueArrived);
    item.ApplyPointStatus(5);
    CHECK_FALSE(item.CurrentState().valueArrived);
    KelvaneValue value = Value(kvDouble);
    item.ApplyArrival(kfValue, &value, 0, 0);
    CHECK(item.CurrentState().valueArrived);
    item.ApplyPointStatus(15);
    CHECK_FALSE(item.CurrentState().valueArrived);
}

TEST_CASE("the change test never pairs the value of one arrival with the quality or timestamp of another")
{
    // Arrival n carries n three ways: as the value (its text every third time, else a
    // number, so that numbers follow numbers and are published without the item lock), in
    // the timestamp, and in the quality (bad when n is a multiple of five). The scan's
    // change test runs on another thread meanwhile, and every report must agree.
    Fixture f;
    COPCItem& item = f.item;
    constexpr std::uint64_t kBase = 0x01D0000000000000ull;
    // Enough reports of each kind of value to have raced the writer many times over.
    constexpr std::uint64_t kReportsOfEachKind = 50000;
    constexpr std::uint64_t kMostArrivals = 50000000;
    // One pass of the scan's change test over the item, under the group lock as the scan runs it.
    struct Report {
        OPCHANDLE client = 0;
        orv::com::UniqueVariant value;
        WORD quality = 0;
        FILETIME timestamp{};
        HRESULT result = E_FAIL;
        bool Take(Fixture& f)
        {
            orv::com::CSingleLock hold(f.group->Lock());
            return f.item.TestForChange(client, *value.Get(), quality, timestamp, result);
        }
    };
    // The state before any arrival is reported once, and is not one of the arrivals.
    REQUIRE(Report().Take(f));
    std::atomic<bool> writing{true};
    std::atomic<bool> enough{false};
    std::thread writer([&] {
        for (std::uint64_t n = 1; n <= kMostArrivals && !enough; ++n) {
            WideText text(std::to_wstring(n));
            KelvaneValue value = Value(kvDouble);
            if (n % 3 == 1) {
                value.type = kvWideText;
                value.payload.object = &text;
            } else {
                value.payload.real = static_cast<double>(n);
            }
            item.ApplyArrival(kfValue | kfStatus | kfTimestamp, &value, n % 5 == 0 ? 1 : 0, kBase + n);
            // Where the two threads share a core, the reader gets to look between short
            // runs of arrivals rather than once a time slice.
            if (n % 64 == 0) SwitchToThread();
        }
        writing = false;
    });

    std::uint64_t numbers = 0, texts = 0, mismatches = 0;
    while (writing) {
        Report report;
        if (!report.Take(f)) {
            // Nothing new: the writer may need this core.
            SwitchToThread();
            continue;
        }
        const auto& [client, value, quality, timestamp, result] = report;
        const std::uint64_t n = Ticks(timestamp) - kBase;
        bool agrees = result == S_OK && client == 11 && quality == (n % 5 == 0 ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD);
        if (value->vt == VT_BSTR) {
            ++texts;
            agrees = agrees && n % 3 == 1 && std::wstring(value->bstrVal) == std::to_wstring(n);
        } else {
            ++numbers;
            agrees = agrees && value->vt == VT_R8 && n % 3 != 1 && value->dblVal == static_cast<double>(n);
        }
        if (!agrees) ++mismatches;
        if (numbers >= kReportsOfEachKind && texts >= kReportsOfEachKind) enough = true;
    }
    writer.join();
    CHECK(mismatches == 0);
    // Both kinds of value were seen changing, or the test proved nothing.
    CHECK(numbers >= kReportsOfEachKind);
    CHECK(texts >= kReportsOfEachKind);
}

TEST_CASE("a value whose payload is wider than one word is published as an error, not cut short")
{
    twopc::group::PublishedValue published(OPC_QUALITY_GOOD);
    VARIANT value;
    DECIMAL decimal{};
    decimal.Hi32 = 7;
    decimal.Lo64 = 1;
    V_DECIMAL(&value) = decimal;
    V_VT(&value) = VT_DECIMAL;
    const WORD bad = OPC_QUALITY_BAD;
    published.Publish(&value, &bad, FILETIME{5, 0});
    CHECK(V_VT(&value) == VT_EMPTY);
    const auto fields = published.Read();
    CHECK(fields.type == VT_ERROR);
    CHECK(static_cast<HRESULT>(static_cast<std::uint32_t>(fields.payload)) == DISP_E_BADVARTYPE);
    CHECK(fields.quality == OPC_QUALITY_BAD);
    CHECK(fields.ticks == 5);
}

TEST_CASE("slots: every callback reaches its own owner, across chunks; a number is published by the slot alone")
{
    // Records what reaches it, as the item would have to act on it.
    struct Owner final : twopc::group::IPublishedSlotOwner {
        std::uint32_t status = 0;
        int lockedArrivals = 0;
        VARTYPE lastLockedType = VT_EMPTY;
        void PublishLocked(VARIANT* value, HRESULT, const WORD*, const FILETIME&) override
        {
            ++lockedArrivals;
            lastLockedType = value ? V_VT(value) : static_cast<VARTYPE>(VT_EMPTY);
            if (value) VariantClear(value);
        }
        void ApplyPointInfo(const KelvanePointInfo&) override {}
        void ApplyPointStatus(std::uint32_t code) override { status = code; }
    };
    using twopc::group::PublishedSlot;
    using twopc::group::PublishedValue;
    // More than one chunk's worth (a chunk holds under 2,048), so that owners are looked up
    // in chunks other than the first.
    constexpr std::uint32_t kCount = 5000;
    std::vector<Owner> owners(kCount);
    std::vector<PublishedSlot*> slots;
    for (Owner& owner : owners) slots.push_back(PublishedSlot::Allocate(owner, PublishedValue::kLockedWritesOnly));
    for (std::uint32_t i = 0; i < kCount; ++i) slots[i]->ApplyPointStatus(i + 1);
    std::uint32_t misrouted = 0;
    for (std::uint32_t i = 0; i < kCount; ++i) misrouted += owners[i].status != i + 1;
    CHECK(misrouted == 0);

    PublishedSlot& slot = *slots[kCount - 1];
    Owner& owner = owners[kCount - 1];
    KelvaneValue number = Value(kvDouble);
    number.payload.real = 2.5;
    // While the item wants locked writes, the owner gets the arrival.
    slot.ApplyArrival(kfValue | kfStatus | kfTimestamp, &number, 0, 7);
    CHECK(owner.lockedArrivals == 1);
    CHECK(owner.lastLockedType == VT_R8);
    // Once it does not, the slot publishes a number on its own, with the flags kept.
    slot.Value().SetFlags(PublishedValue::kConverts);
    slot.ApplyArrival(kfValue | kfStatus | kfTimestamp, &number, 1, 9);
    CHECK(owner.lockedArrivals == 1);
    const PublishedValue::Fields fields = slot.Value().Read();
    CHECK(fields.type == VT_R8);
    CHECK(fields.quality == OPC_QUALITY_BAD);
    CHECK(fields.ticks == 9);
    CHECK(fields.flags == PublishedValue::kConverts);
    // Text always goes to the owner, which copies it under its lock.
    WideText text(L"t");
    KelvaneValue textValue = Value(kvWideText);
    textValue.payload.object = &text;
    slot.ApplyArrival(kfValue, &textValue, 0, 0);
    CHECK(owner.lockedArrivals == 2);
    CHECK(owner.lastLockedType == VT_BSTR);

    // Given back and taken again, a slot serves its new owner.
    PublishedSlot::Free(slots[0]);
    Owner another;
    PublishedSlot* reused = PublishedSlot::Allocate(another, 0);
    CHECK(reused == slots[0]);
    reused->ApplyPointStatus(77);
    CHECK(another.status == 77);
    CHECK(owners[0].status == 1);
    PublishedSlot::Free(reused);
    for (std::uint32_t i = 1; i < kCount; ++i) PublishedSlot::Free(slots[i]);
}
