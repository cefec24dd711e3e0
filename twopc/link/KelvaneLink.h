#pragma once
// The realtime link libraries (twrealt, twbrow, twsock, twdynam) as this server calls them.
// They are closed libraries of the network's maker: the layouts and slot orders below are
// the binary contract with them and must not change.

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

namespace twopc::link {

// Network value type codes. Bit 0x1000 marks a payload that is a counted text object.
enum KelvaneType : std::uint32_t {
    kvEmpty = 0,
    kvNull = 1,
    kvBool = 2,
    kvDouble = 3,
    kvUInt64 = 4,
    kvObjectFlag = 0x1000,
    kvNarrowText = 0x1005,
    kvWideText = 0x1006,
};

// The 16-byte tagged value that the link exchanges.
struct KelvaneValue {
    std::uint32_t type;
    std::uint32_t reserved;
    union {
        std::uint64_t bits;
        double real;
        std::uint8_t boolean;
        IUnknown* object;
    } payload;
};
static_assert(sizeof(KelvaneValue) == 16 && offsetof(KelvaneValue, payload) == 8);

// Field-mask bits of OnValue and ReadCurrent.
enum : std::uint32_t { kfValue = 0x1, kfStatus = 0x2, kfTimestamp = 0x4 };

// Passed to Subscribe: 13, 7, 0.
struct KelvaneSubscription {
    std::uint32_t kind;
    std::uint16_t options;
    std::uint16_t reserved;
    std::uint64_t extra;
};
static_assert(sizeof(KelvaneSubscription) == 16 && offsetof(KelvaneSubscription, extra) == 8);

// Passed to OnPointInfo.
struct KelvanePointInfo {
    std::uint32_t mask;  // 0x2 type present, 0x4 access present
    std::uint32_t reserved0[3];
    std::uint16_t type;
    std::uint16_t reserved1[3];
    std::uint32_t access;  // 0x1 readable, 0x2 writable
    std::uint32_t reserved2;
};
static_assert(offsetof(KelvanePointInfo, type) == 16 && offsetof(KelvanePointInfo, access) == 24);

// Filled by IKelvaneBrowser::Next; the caller owns both BSTRs afterwards.
struct KelvaneBrowseEntry {
    std::uint32_t mask;
    std::uint32_t reserved0;
    BSTR name;               // 0x01
    std::uint16_t delimiter; // 0x02
    std::uint16_t reserved1[5];
    std::uint8_t flags;      // 0x08, bit 0: leaf
    std::uint8_t reserved2[3];
    BSTR secondName;
    std::uint16_t type;      // 0x20
    std::uint16_t access;    // 0x40
    std::uint32_t reserved3;
};
static_assert(offsetof(KelvaneBrowseEntry, name) == 8 && offsetof(KelvaneBrowseEntry, delimiter) == 16 &&
              offsetof(KelvaneBrowseEntry, flags) == 28 && offsetof(KelvaneBrowseEntry, secondName) == 32 &&
              offsetof(KelvaneBrowseEntry, type) == 40 && offsetof(KelvaneBrowseEntry, access) == 42);

enum : std::uint32_t { kbName = 0x01, kbDelimiter = 0x02, kbLeaf = 0x08, kbType = 0x20, kbAccess = 0x40 };
constexpr std::uint32_t kBrowseFieldsWanted = kbName | kbDelimiter | kbLeaf | kbType | kbAccess;  // 107

// Interfaces handed out by the link. Slots 0-2 are IUnknown.
struct IKelvaneOEM : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetClientKind(const wchar_t* kind) = 0;
};

struct IKelvanePoint : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const KelvaneValue* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInfo(KelvanePointInfo* info) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadCurrent(std::uint32_t* mask, KelvaneValue* value, std::uint32_t* status,
                                                  std::uint64_t* timestamp) = 0;
};

struct IKelvaneRealTime : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Subscribe(const wchar_t* itemId, void* cookie,
                                                const KelvaneSubscription* request, IKelvanePoint** point) = 0;
};

struct IKelvaneBrowser : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(const wchar_t* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(std::uint32_t wantedFields, KelvaneBrowseEntry* entry) = 0;
};

// Text objects: asked for one of these two interfaces, then GetText (slot 6).
template <class Char>
struct IKelvaneTextT : IUnknown {
    virtual std::uint32_t STDMETHODCALLTYPE GetLength() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetText(const Char* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE Append(const Char* text) = 0;
    virtual const Char* STDMETHODCALLTYPE GetText() = 0;
};
using IKelvaneNarrowText = IKelvaneTextT<char>;
using IKelvaneWideText = IKelvaneTextT<wchar_t>;

// Receivers implemented by the server.
struct IKelvaneRealTimeReceiver : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnValue(void* cookie, std::uint32_t mask, const KelvaneValue* value,
                                              std::uint32_t status, std::uint64_t timestamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPointInfo(void* cookie, const KelvanePointInfo* info) = 0;
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

// Exports, looked up by name at run time.
using NewKelvaneRealTimeFn = unsigned char(WINAPI*)(void* reserved, IKelvaneRealTimeReceiver* receiver,
                                                    IKelvaneRealTime** realtime);
using NewKelvaneBrowserFn = unsigned char(WINAPI*)(void* reserved, IKelvaneBrowserReceiver* receiver,
                                                   IKelvaneBrowser** browser);
using GetIKelvaneOEMFn = IKelvaneOEM*(WINAPI*)();
using GetHostMachineNameFn = HRESULT(WINAPI*)(BSTR* hostName);
using NewUnicodeGutsFn = IUnknown*(WINAPI*)(const wchar_t* text);

}  // namespace twopc::link
