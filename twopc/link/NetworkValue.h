#pragma once

#include "twopc/link/KelvaneLink.h"

#include <cstdint>

namespace twopc::link {

// Owner of one network value. A text payload (type bit kvObjectFlag) is a counted
// object of which this holds one reference; whenever the value is overwritten or
// dropped that reference is released, after the payload has been cleared, so that the
// owner never points at a freed object even while Release runs. A new or reset value
// is null (kvNull), which is also what the link expects of an out value it fills.
// Not thread-safe: one owner, one thread at a time.
class NetworkValue {
public:
    NetworkValue() noexcept;
    NetworkValue(NetworkValue&& other) noexcept;
    NetworkValue& operator=(NetworkValue&& other) noexcept;
    NetworkValue(const NetworkValue&) = delete;
    NetworkValue& operator=(const NetworkValue&) = delete;
    ~NetworkValue();

    // For passing to link calls that read the value (IKelvanePoint::Write, ToVariant).
    const KelvaneValue* Get() const noexcept { return &m_value; }
    // Drops the current content and hands out the value for the link to fill; a text
    // object it stores there then belongs to this owner.
    KelvaneValue* Put() noexcept;

    void Reset() noexcept;
    void SetBoolean(bool value) noexcept;
    void SetDouble(double value) noexcept;
    // Takes over the caller's reference; a null object stands for the empty text.
    void AdoptWideText(IUnknown* object) noexcept;

private:
    void Release() noexcept;

    KelvaneValue m_value;
};

// Converts into *destination (cleared first; may be null to only test the conversion).
// Unknown types, kvUInt64 included, give VT_EMPTY and E_FAIL; so does a text object that
// does not grant the text interface its type code names. A null text object is the
// empty string. Throws orv::com::HResultError(E_OUTOFMEMORY) when a BSTR cannot be
// allocated, and HResultError with the failure of clearing *destination or of the
// narrow-to-wide conversion.
HRESULT ToVariant(const KelvaneValue& value, VARIANT* destination);
// The same, inline for a double into a destination that holds nothing: the per-value path
// of nearly every update, where the call into ToVariant showed up in the profile.
inline HRESULT ToVariantInline(const KelvaneValue& value, VARIANT* destination)
{
    if (destination && value.type == kvDouble && V_VT(destination) == VT_EMPTY) {
        V_VT(destination) = VT_R8;
        V_R8(destination) = value.payload.real;
        return S_OK;
    }
    return ToVariant(value, destination);
}

// Stores source into value as the network type that NetworkTypeOf names for it,
// converting with VariantChangeType; a type without a network counterpart stores null
// if it converts to VT_EMPTY. On failure value keeps what it held: the conversion's
// HRESULT, or E_FAIL when non-empty text cannot be made into a text object (twdynam
// missing or refusing).
HRESULT FromVariant(const VARIANT& source, NetworkValue& value);

// The VARTYPE that values of a network type are delivered as; VT_EMPTY for types this
// server does not convert.
VARTYPE CanonicalOf(std::uint32_t networkType);

// The network type that a VARIANT of this type is written as; VT_BYREF and VT_ARRAY
// are ignored. kvEmpty for types without a counterpart.
std::uint32_t NetworkTypeOf(VARTYPE variantType);

}  // namespace twopc::link
