#pragma once
// ReportedFields: what the client was last told about one item (value, quality, timestamp,
// under its client handle), with the slot its current value is published in. It is all
// the update scan needs of an item: while the item is active the record lives in its
// group, in an array beside the active-item list, so that the scan walks records in order
// and touches neither the item nor a line that another core writes. While the item is
// inactive, the item keeps it.
//
// The record owns a string it holds, but it is copied bitwise when it moves between the
// item and the group (TakeValue leaves the source without one); its holder frees the value.
#include "twopc/group/PublishedSlot.h"
#include "twopc/io/ChangeRule.h"

#include <opcda.h>

#include <cstdint>

namespace twopc::group {

struct ReportedFields {
    // Null in a gap of the group's array.
    PublishedSlot* slot = nullptr;
    // The value as its type and one payload word (every value fits, see PublishedValue).
    std::uint64_t payload = 0;
    std::uint64_t ticks = 0;
    OPCHANDLE clientHandle = 0;
    VARTYPE type = VT_EMPTY;
    WORD quality = 0;

    FILETIME Timestamp() const noexcept { return PublishedValue::FileTimeOf(ticks); }

    // The value as a VARIANT that the record still owns: valid while the record stays as it is.
    VARIANT Value() const noexcept
    {
        VARIANT value;
        PublishedValue::StoreVariantWords(value, type, payload);
        return value;
    }

    // Value := a copy of `source` (VT_ERROR carrying the failure when it cannot be copied,
    // DISP_E_BADVARTYPE when it is wider than a word); frees the value it replaces.
    void SetValue(const VARIANT& source) noexcept
    {
        VARIANT copy;
        V_VT(&copy) = VT_EMPTY;
        orv::com::CopyOrError(copy, source);
        PublishedValue::NarrowToOneWord(copy);
        VARIANT replaced = Value();
        type = V_VT(&copy);
        payload = io::PayloadWord(copy);
        orv::com::ClearVariant(replaced);
    }

    void ClearValue() noexcept
    {
        VARIANT value = Value();
        orv::com::ClearVariant(value);
        type = VT_EMPTY;
        payload = 0;
    }

    // A copy that takes over the value; this record is left holding none.
    ReportedFields TakeValue() noexcept
    {
        ReportedFields taken = *this;
        ForgetValue();
        return taken;
    }
    // Once a copy owns the value: this record holds none, and frees nothing.
    void ForgetValue() noexcept
    {
        type = VT_EMPTY;
        payload = 0;
    }
};
static_assert(sizeof(ReportedFields) == 32, "two records to a cache line");

}  // namespace twopc::group
