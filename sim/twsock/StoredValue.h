#pragma once
// Internal to twsock: a point's value as the network keeps it, free of COM references, and
// its conversion to and from the tagged values that cross the link.

#include <sim/kelvane.h>

#include <cstdint>
#include <string>

namespace sim {

// Any type without an object payload keeps its raw payload; text is always kept wide.
struct StoredValue {
    std::uint32_t type = kelvane::vtNull;
    std::uint64_t bits = 0;
    std::wstring text;  // vtWideText only
    bool refusesText = false;  // vtWideText only: handed out in objects without a text interface

    static StoredValue Null() { return {}; }
    static StoredValue Double(double real);
    static StoredValue Boolean(bool value) { return {kelvane::vtBool, value ? 1u : 0u, {}, false}; }
    static StoredValue Text(std::wstring text) { return {kelvane::vtWideText, 0, std::move(text), false}; }
    static StoredValue Raw(std::uint32_t type, std::uint64_t bits) { return {type, bits, {}, false}; }

    friend bool operator==(const StoredValue&, const StoredValue&) = default;
};

// Takes a value that a client wrote: null (or empty), boolean, double, narrow or wide text
// (copied out of its object; a null object is empty text). KELVANE_E_TYPEMISMATCH for any
// other type and for a text object that answers neither text interface.
HRESULT FromNetwork(const kelvane::Value& value, StoredValue& stored);

// Fills `value` for handing out; text becomes a new wide text object that `value` owns (one
// from SimNewRefusingText when the value refuses its text).
// E_OUTOFMEMORY, with `value` untouched, when the object cannot be made.
HRESULT ToNetwork(const StoredValue& stored, kelvane::Value& value) noexcept;

// Drops the object reference that a value handed out by ToNetwork may hold.
void ReleasePayload(kelvane::Value& value) noexcept;

}  // namespace sim
