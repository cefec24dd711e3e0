#pragma once
// Helpers for tests that drive the server through COM the way a client does.

#include "orv/com/ComPtr.h"
#include "orv/com/Owners.h"
#include "orv/com/StackObject.h"

#include <doctest.h>
#include <opcda.h>

#include <cstdint>
#include <initializer_list>
#include <vector>
#include <string>

namespace twopc::test {

// {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}
inline constexpr CLSID kServerClsid = {
    0x7E15A0C2, 0x4B91, 0x4D3E, {0x9F, 0x62, 0x0C, 0x8A, 0x5D, 0x21, 0xB7, 0xE4}};
inline constexpr wchar_t kProgId[] = L"Orvane.TarnwellOPCServer";

template <class T>
using Ref = orv::com::ComPtr<T>;

// Creates the server from its ProgID, as an OPC client does.
template <class T>
void CreateServerAs(Ref<T>& server)
{
    CLSID clsid;
    REQUIRE(CLSIDFromProgID(kProgId, &clsid) == S_OK);
    REQUIRE(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, __uuidof(T),
                             server.PutVoid()) == S_OK);
    REQUIRE(server);
}

template <class T>
Ref<T> NewServer()
{
    Ref<T> server;
    CreateServerAs(server);
    return server;
}

// Queries `object` for T; fails the test if it does not answer.
template <class T>
Ref<T> As(IUnknown* object)
{
    Ref<T> face;
    REQUIRE(object->QueryInterface(__uuidof(T), face.PutVoid()) == S_OK);
    return face;
}

// A task-allocator array that a call hands out through an out-parameter.
template <class T>
using TaskArray = orv::com::CoTaskArray<T>;
using Errors = TaskArray<HRESULT>;

// A VARIANT of `type` whose value union holds `bits`: for integers, booleans and errors the value itself.
inline VARIANT VariantOf(VARTYPE type, LONGLONG bits = 0)
{
    VARIANT v{};
    v.vt = type;
    v.llVal = bits;
    return v;
}

inline VARIANT DoubleVariant(double value)
{
    VARIANT v = VariantOf(VT_R8);
    v.dblVal = value;
    return v;
}

inline std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Polls `condition` every 10 ms until it holds or the time is up; returns its last answer.
template <class Condition>
bool WaitFor(Condition condition, int timeoutMs = 5000)
{
    for (int waited = 0; waited < timeoutMs && !condition(); waited += 10) Sleep(10);
    return condition();
}

// Current reference count of an object, read through an AddRef/Release pair.
inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

using orv::com::StackObject;
using CountedUnknown = StackObject<IUnknown>;

inline std::wstring RegistryString(HKEY root, const std::wstring& key, const wchar_t* name = nullptr)
{
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

inline bool RegistryKeyExists(HKEY root, const std::wstring& key)
{
    HKEY handle;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

inline std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

}  // namespace twopc::test

namespace twopc::test {

// A group added with the usual defaults; the test owns the reference.
struct AddedGroup {
    HRESULT result = E_UNEXPECTED;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
};

inline AddedGroup AddGroup(IOPCServer* server, const wchar_t* name, Ref<IOPCGroupStateMgt>& group,
                           DWORD rate = 1000, BOOL active = FALSE, FLOAT* deadband = nullptr,
                           OPCHANDLE clientHandle = 7)
{
    AddedGroup added;
    LONG bias = 0;
    added.result = server->AddGroup(name, active, rate, clientHandle, &bias, deadband, 1033, &added.handle,
                                    &added.revisedRate, IID_IOPCGroupStateMgt,
                                    reinterpret_cast<LPUNKNOWN*>(group.Put()));
    return added;
}

struct GroupState {
    HRESULT result = E_UNEXPECTED;
    DWORD rate = 0;
    BOOL active = FALSE;
    std::wstring name = L"<failed>";
    LONG bias = 0;
    FLOAT deadband = -1.0f;
    LCID locale = 0;
    OPCHANDLE client = 0;
    OPCHANDLE server = 0;
};

// What GetState reports; `result` holds its HRESULT and `name` is "<failed>" when it fails.
inline GroupState StateOf(IOPCGroupStateMgt* group)
{
    GroupState state;
    LPWSTR name = nullptr;
    state.result = group->GetState(&state.rate, &state.active, &name, &state.bias, &state.deadband, &state.locale,
                                   &state.client, &state.server);
    if (SUCCEEDED(state.result)) state.name = name;
    CoTaskMemFree(name);
    return state;
}

inline std::wstring GroupName(IOPCGroupStateMgt* group) { return StateOf(group).name; }

inline void SetActive(IOPCGroupStateMgt* group, BOOL active)
{
    DWORD revised;
    REQUIRE(group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr) == S_OK);
}

// The server's status, freed with the object.
struct ServerStatus {
    OPCSERVERSTATUS* status = nullptr;
    explicit ServerStatus(IOPCServer* server) { REQUIRE(server->GetStatus(&status) == S_OK); }
    ServerStatus(const ServerStatus&) = delete;
    ServerStatus& operator=(const ServerStatus&) = delete;
    ~ServerStatus()
    {
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    OPCSERVERSTATUS* operator->() const { return status; }
};

inline DWORD GroupCount(IOPCServer* server) { return ServerStatus(server)->dwGroupCount; }

// GetStatus's result alone, the record freed; for calls that may fail.
inline HRESULT StatusResult(IOPCServer* server)
{
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = server->GetStatus(&status);
    if (status) CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return hr;
}
inline std::uint64_t LastUpdate(IOPCServer* server) { return Ticks(ServerStatus(server)->ftLastUpdateTime); }

inline HRESULT ModuleCanUnloadNow()
{
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    HMODULE module = GetModuleHandleW(L"twopc.dll");
    if (!module) return E_UNEXPECTED;
    auto canUnload =
        reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_UNEXPECTED;
}

}  // namespace twopc::test

namespace twopc::test {

inline OPCITEMDEF ItemDef(const wchar_t* id, OPCHANDLE client = 1, VARTYPE requested = VT_EMPTY, BOOL active = TRUE)
{
    OPCITEMDEF definition{};
    definition.szItemID = const_cast<LPWSTR>(id);
    definition.szAccessPath = const_cast<LPWSTR>(L"");
    definition.bActive = active;
    definition.hClient = client;
    definition.vtRequestedDataType = requested;
    return definition;
}

// The results of one AddItems or ValidateItems call, freed with the object.
struct ItemResults {
    HRESULT result = E_UNEXPECTED;
    OPCITEMRESULT* records = nullptr;
    HRESULT* errors = nullptr;
    ItemResults() = default;
    ItemResults(const ItemResults&) = delete;
    ItemResults& operator=(const ItemResults&) = delete;
    ~ItemResults()
    {
        CoTaskMemFree(records);
        CoTaskMemFree(errors);
    }
};

inline void AddItems(IOPCItemMgt* items, std::initializer_list<OPCITEMDEF> definitions, ItemResults& out)
{
    std::vector<OPCITEMDEF> array(definitions);
    out.result = items->AddItems(static_cast<DWORD>(array.size()), array.data(), &out.records, &out.errors);
}

inline void ValidateItems(IOPCItemMgt* items, std::initializer_list<OPCITEMDEF> definitions, ItemResults& out)
{
    std::vector<OPCITEMDEF> array(definitions);
    out.result =
        items->ValidateItems(static_cast<DWORD>(array.size()), array.data(), FALSE, &out.records, &out.errors);
}

// The states and errors of one IOPCSyncIO::Read, freed with the object.
struct ReadResults {
    HRESULT result = E_UNEXPECTED;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    DWORD count = 0;
    ReadResults(IOPCSyncIO* io, OPCDATASOURCE source, std::vector<OPCHANDLE> handles)
        : count(static_cast<DWORD>(handles.size()))
    {
        result = io->Read(source, count, handles.data(), &states, &errors);
    }
    ReadResults(const ReadResults&) = delete;
    ReadResults& operator=(const ReadResults&) = delete;
    ~ReadResults()
    {
        for (DWORD i = 0; states && i < count; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
};

// A server with one group, seen through the interfaces the item tests use, and the items
// it was made with (each of which must have been added).
struct ServerWithGroup {
    Ref<IOPCServer> server;
    Ref<IOPCGroupStateMgt> group;
    Ref<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;
    ItemResults added;

    explicit ServerWithGroup(BOOL active = FALSE, DWORD rate = 1000) : ServerWithGroup({}, active, rate) {}
    ServerWithGroup(std::initializer_list<OPCITEMDEF> definitions, BOOL active, DWORD rate = 1000)
        : server(NewServer<IOPCServer>())
    {
        AddedGroup result = AddGroup(server.Get(), L"Items", group, rate, active);
        REQUIRE(result.result == S_OK);
        groupHandle = result.handle;
        items = As<IOPCItemMgt>(group.Get());
        if (definitions.size() == 0) return;
        AddItems(items.Get(), definitions, added);
        REQUIRE(SUCCEEDED(added.result));
    }
    OPCHANDLE Handle(int i) const { return added.records[i].hServer; }
};

// The local computer's name, as the network names it.
inline std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(name, &size);
    return name;
}

}  // namespace twopc::test
