#pragma once
// PublishedSlot: where an item's current value is published, and the realtime link's
// cookie for the item's subscription. A slot is 32 bytes: the receiver's vtable pointer and
// the published value, nothing else. Slots come from a process-wide pool in chunks, in the
// order items are made, so the link's arrivals (which come in subscription order) and the
// update scan (which walks a group's items in activation order) both go through memory in
// order, two items to a cache line, and neither touches the item record itself.
//
// An arrival of a number that the slot may publish alone (see PublishedValue's flags) is
// published here; everything else goes to the slot's owner, the item, which takes its lock.
// The owner is found through the chunk, whose start the slot's address gives.

#include "twopc/group/PublishedValue.h"
#include "twopc/link/RealtimeSubscriber.h"

#include <opcda.h>

#include <cstdint>

namespace twopc::group {

// The item behind a slot, for what the slot cannot do alone. Called on the link's threads,
// or on a reader's, with no lock held.
class IPublishedSlotOwner {
public:
    // An arrival to publish under the item lock: `value` (null when the arrival has none)
    // is taken over; `converted` is the result of making it from the network's value.
    virtual void PublishLocked(VARIANT* value, HRESULT converted, const WORD* quality, const FILETIME& timestamp) = 0;
    virtual void ApplyPointInfo(const link::KelvanePointInfo& info) = 0;
    virtual void ApplyPointStatus(std::uint32_t code) = 0;

protected:
    ~IPublishedSlotOwner() = default;
};

class PublishedSlot final : public link::IRealtimeSubscriber {
public:
    // A slot for `owner`, with PublishedValue `flags`; throws std::bad_alloc.
    static PublishedSlot* Allocate(IPublishedSlotOwner& owner, std::uint32_t flags);
    // Once the link delivers nothing more to the slot.
    static void Free(PublishedSlot* slot) noexcept;
    struct Deleter {
        void operator()(PublishedSlot* slot) const noexcept { Free(slot); }
    };

    PublishedValue& Value() noexcept { return m_value; }
    const PublishedValue& Value() const noexcept { return m_value; }

    void ApplyArrival(std::uint32_t mask, const link::KelvaneValue* value, std::uint32_t status,
                      std::uint64_t timestamp) override;
    void ApplyPointInfo(const link::KelvanePointInfo& info) override;
    void ApplyPointStatus(std::uint32_t code) override;

private:
    explicit PublishedSlot(std::uint32_t flags) noexcept : m_value(OPC_QUALITY_GOOD, flags) {}
    ~PublishedSlot() = default;
    IPublishedSlotOwner& Owner() const noexcept;

    PublishedValue m_value;
};

}  // namespace twopc::group
