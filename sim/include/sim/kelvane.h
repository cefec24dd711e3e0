#pragma once
// The Tarnwell realtime link as its maker publishes it: the exports of twrealt, twbrow,
// twsock and twdynam and the interfaces they hand out or call back. Clients are built
// against this binary layout, so sizes, offsets and slot orders are fixed for good.

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

namespace kelvane {

// Type codes of a Value. Bit 0x1000 marks a payload that is a counted text object.
enum ValueType : std::uint32_t {
    vtEmpty = 0,
    vtNull = 1,
    vtBool = 2,
    vtDouble = 3,
    vtUInt64 = 4,
    vtObjectFlag = 0x1000,
    vtNarrowText = 0x1005,
    vtWideText = 0x1006,
};

// A tagged network value. For object types the holder owns one reference to the payload.
struct Value {
    std::uint32_t type;
    std::uint32_t reserved;
    union {
        std::uint64_t bits;
        double real;
        std::uint8_t boolean;
        IUnknown* object;
    } payload;
};
static_assert(sizeof(Value) == 16 && offsetof(Value, payload) == 8);

// Which of value, status and timestamp a value report carries.
enum ValueField : std::uint32_t { vfValue = 0x1, vfStatus = 0x2, vfTimestamp = 0x4 };

struct SubscriptionRequest {
    std::uint32_t kind;
    std::uint16_t options;
    std::uint16_t reserved;
    std::uint64_t extra;
};
static_assert(sizeof(SubscriptionRequest) == 16 && offsetof(SubscriptionRequest, extra) == 8);

enum PointInfoField : std::uint32_t { pfType = 0x2, pfAccess = 0x4 };
enum PointAccess : std::uint32_t { paReadable = 0x1, paWritable = 0x2 };

struct PointInfo {
    std::uint32_t mask;  // PointInfoField bits
    std::uint32_t reserved0[3];
    std::uint16_t type;
    std::uint16_t reserved1[3];
    std::uint32_t access;  // PointAccess bits
    std::uint32_t reserved2;
};
static_assert(offsetof(PointInfo, type) == 16 && offsetof(PointInfo, access) == 24);

enum BrowseField : std::uint32_t {
    bfName = 0x01,
    bfDelimiter = 0x02,
    bfLeaf = 0x08,
    bfItemId = 0x10,
    bfType = 0x20,
    bfAccess = 0x40,
};

// One child of a browsed path. The caller owns both BSTRs once Next has returned.
//
// How a child's name relates to its item ID: the ID is the opened path, then the delimiter
// (a backslash below a path separator, a point before a sub-point), then the name, except:
//   - a computer, listed under the network root "\", is named with two leading backslashes
//     that are not repeated in the ID: "\\ALPHA" with delimiter '\' is the computer \\ALPHA;
//   - under the delimiter '.', a name holding '-' contributes only its part before the first
//     '-', the rest being a description for people: "Tank-Level" listed by \\ALPHA\proc2\Pump
//     is the point \\ALPHA\proc2\Pump.Tank;
//   - under the delimiter '.', the name "(implicit)" contributes nothing: it is the point that
//     carries the opened path's own name (\\ALPHA\proc2\Pump itself).
// secondName always holds the child's full item ID (mask bit bfItemId), whether or not it
// was asked for, so that a client need not apply these rules.
struct BrowseEntry {
    std::uint32_t mask;  // BrowseField bits of the fields that are valid
    std::uint32_t reserved0;
    BSTR name;
    std::uint16_t delimiter;
    std::uint16_t reserved1[5];
    std::uint8_t flags;  // bit 0: leaf
    std::uint8_t reserved2[3];
    BSTR secondName;
    std::uint16_t type;
    std::uint16_t access;
    std::uint32_t reserved3;
};
static_assert(sizeof(BrowseEntry) == 48);
static_assert(offsetof(BrowseEntry, name) == 8 && offsetof(BrowseEntry, delimiter) == 16 &&
              offsetof(BrowseEntry, flags) == 28 && offsetof(BrowseEntry, secondName) == 32 &&
              offsetof(BrowseEntry, type) == 40 && offsetof(BrowseEntry, access) == 42);

// Failures of the link's own making (facility 0xABC).
inline constexpr HRESULT KELVANE_E_UNKNOWNPOINT = static_cast<HRESULT>(0x8ABC0200);
inline constexpr HRESULT KELVANE_E_UNKNOWNPATH = static_cast<HRESULT>(0x8ABC0201);
inline constexpr HRESULT KELVANE_E_ENDOFLIST = static_cast<HRESULT>(0x8ABC0202);
inline constexpr HRESULT KELVANE_E_READONLY = static_cast<HRESULT>(0x8ABC0203);      // a write to a point that takes none
inline constexpr HRESULT KELVANE_E_TYPEMISMATCH = static_cast<HRESULT>(0x8ABC0204);  // a value the point cannot hold

struct IKelvaneOEM : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetClientKind(const wchar_t* kind) = 0;
};

// One subscription to one point, handed out by Subscribe. Releasing its last reference ends
// the subscription: once that Release has returned, no callback for the subscription's
// cookie runs any more. To keep that promise Release waits while a callback for this
// subscription is running on another thread, so it must not be called while holding a lock
// that the receiver's callbacks take. Released from inside a callback for this very
// subscription, it does not wait: the rest of that callback is the last one.
//   Write: stores the value and reports it back to every subscription of the point as a
//     value arrival, later and on the link's thread; KELVANE_E_READONLY for a point that
//     takes no writes, KELVANE_E_TYPEMISMATCH for a value of a type it cannot hold.
//   ReadCurrent: mask vfValue | vfStatus | vfTimestamp with the current value, or mask 0
//     (value untouched, status and timestamp 0) for a point that has none; a text value is
//     a new reference that the caller releases.
struct IKelvanePoint : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const Value* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInfo(PointInfo* info) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadCurrent(std::uint32_t* mask, Value* value, std::uint32_t* status,
                                                  std::uint64_t* timestamp) = 0;
};

struct IKelvaneRealTime : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Subscribe(const wchar_t* itemId, void* cookie,
                                                const SubscriptionRequest* request, IKelvanePoint** point) = 0;
};

// Holds one listing at a time: Open starts it, Next walks it, Close drops it.
struct IKelvaneBrowser : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(const wchar_t* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(std::uint32_t wantedFields, BrowseEntry* entry) = 0;
};

template <class Char>
struct IKelvaneText : IUnknown {
    virtual std::uint32_t STDMETHODCALLTYPE GetLength() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetText(const Char* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE Append(const Char* text) = 0;
    // Zero-terminated; valid while the object lives and its text is not changed.
    virtual const Char* STDMETHODCALLTYPE GetText() = 0;
};
using IKelvaneNarrowText = IKelvaneText<char>;
using IKelvaneWideText = IKelvaneText<wchar_t>;

// Implemented by the client; the link calls them on threads of its own, never from inside a
// call that the client made, one callback at a time for any one subscription. A value passed
// to OnValue belongs to the link: a text object in it lives until the callback returns.
// After Subscribe, a subscription first gets OnPointInfo (type and access), then OnValue
// with the current value if the point has one, then every change.
struct IKelvaneRealTimeReceiver : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnValue(void* cookie, std::uint32_t mask, const Value* value,
                                              std::uint32_t status, std::uint64_t timestamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPointInfo(void* cookie, const PointInfo* info) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPointStatus(void* cookie, std::uint32_t code) = 0;
};

struct IKelvaneBrowserReceiver : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnBrowse(void* context, const void* data) = 0;
};

// {5D2E8A41-7C3B-4F19-A6E2-9B0D4C7F1E35}
inline constexpr GUID IID_IKelvaneRealTimeReceiver = {
    0x5D2E8A41, 0x7C3B, 0x4F19, {0xA6, 0xE2, 0x9B, 0x0D, 0x4C, 0x7F, 0x1E, 0x35}};
// {A83F0C6D-2E94-4B7A-8D15-6F2C9E04B1A7}
inline constexpr GUID IID_IKelvaneBrowserReceiver = {
    0xA83F0C6D, 0x2E94, 0x4B7A, {0x8D, 0x15, 0x6F, 0x2C, 0x9E, 0x04, 0xB1, 0xA7}};
// {4F6B9D20-E1A3-4C58-9B7E-3D8A5F0C2614}
inline constexpr GUID IID_IKelvaneNarrowText = {
    0x4F6B9D20, 0xE1A3, 0x4C58, {0x9B, 0x7E, 0x3D, 0x8A, 0x5F, 0x0C, 0x26, 0x14}};
// {4F6B9D21-E1A3-4C58-9B7E-3D8A5F0C2614}
inline constexpr GUID IID_IKelvaneWideText = {
    0x4F6B9D21, 0xE1A3, 0x4C58, {0x9B, 0x7E, 0x3D, 0x8A, 0x5F, 0x0C, 0x26, 0x14}};
// {840869C1-75A0-421B-9AA2-CF7909A8C3E0}
inline constexpr GUID IID_IKelvaneOEM = {
    0x840869C1, 0x75A0, 0x421B, {0x9A, 0xA2, 0xCF, 0x79, 0x09, 0xA8, 0xC3, 0xE0}};
// {51DDF6D1-559F-49F1-906E-77077F3D27E5}
inline constexpr GUID IID_IKelvanePoint = {
    0x51DDF6D1, 0x559F, 0x49F1, {0x90, 0x6E, 0x77, 0x07, 0x7F, 0x3D, 0x27, 0xE5}};
// {810719BF-F22F-47FB-AA76-CD21E6D67EC2}
inline constexpr GUID IID_IKelvaneRealTime = {
    0x810719BF, 0xF22F, 0x47FB, {0xAA, 0x76, 0xCD, 0x21, 0xE6, 0xD6, 0x7E, 0xC2}};
// {860E3C65-D0CA-45A0-BCD4-B1005FF1D56F}
inline constexpr GUID IID_IKelvaneBrowser = {
    0x860E3C65, 0xD0CA, 0x45A0, {0xBC, 0xD4, 0xB1, 0x00, 0x5F, 0xF1, 0xD5, 0x6F}};

// Export signatures, for callers that look the exports up with GetProcAddress.
using NewKelvaneRealTimeFn = unsigned char(WINAPI*)(void* reserved, IKelvaneRealTimeReceiver* receiver,
                                                    IKelvaneRealTime** realtime);
using NewKelvaneBrowserFn = unsigned char(WINAPI*)(void* reserved, IKelvaneBrowserReceiver* receiver,
                                                   IKelvaneBrowser** browser);
using GetIKelvaneOEMFn = IKelvaneOEM*(WINAPI*)();
using GetHostMachineNameFn = HRESULT(WINAPI*)(BSTR* hostName);
using NewUnicodeGutsFn = IUnknown*(WINAPI*)(const wchar_t* text);
using NewAnsiGutsFn = IUnknown*(WINAPI*)(const char* text);

}  // namespace kelvane

extern "C" {
// twrealt. Non-zero on success; *realtime holds one reference and the receiver one more.
unsigned char WINAPI NewKelvaneRealTime(void* reserved, kelvane::IKelvaneRealTimeReceiver* receiver,
                                        kelvane::IKelvaneRealTime** realtime);
// twbrow. Non-zero on success; *browser holds one reference and the receiver one more.
unsigned char WINAPI NewKelvaneBrowser(void* reserved, kelvane::IKelvaneBrowserReceiver* receiver,
                                       kelvane::IKelvaneBrowser** browser);
// twsock. A new reference, or null.
kelvane::IKelvaneOEM* WINAPI GetIKelvaneOEM();
// twsock. The caller frees *hostName with SysFreeString.
HRESULT WINAPI GetHostMachineName(BSTR* hostName);
// twdynam. A new text object with one reference, or null when out of memory; null text makes it empty.
IUnknown* WINAPI NewUnicodeGuts(const wchar_t* text);
IUnknown* WINAPI NewAnsiGuts(const char* text);
}
