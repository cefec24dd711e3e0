#pragma once
// Helpers for tests that drive the server through COM the way a client does.

#include <doctest.h>
#include <opcda.h>

#include <atomic>
#include <initializer_list>
#include <vector>
#include <string>

namespace twopc::test {

// {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}
inline constexpr CLSID kServerClsid = {
    0x7E15A0C2, 0x4B91, 0x4D3E, {0x9F, 0x62, 0x0C, 0x8A, 0x5D, 0x21, 0xB7, 0xE4}};
inline constexpr wchar_t kProgId[] = L"Orvane.TarnwellOPCServer";

// Owns one reference.
template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Reset(); }
    void Reset()
    {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    T** Put()
    {
        Reset();
        return &m_p;
    }
    // Hands the reference over to the caller.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Creates the server from its ProgID, as an OPC client does.
inline HRESULT CreateServer(REFIID riid, void** ppv)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, riid, ppv);
}

template <class T>
void CreateServerAs(Ref<T>& server)
{
    REQUIRE(CreateServer(__uuidof(T), server.PutVoid()) == S_OK);
    REQUIRE(server);
}

// Current reference count of an object, read through an AddRef/Release pair.
inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// A reference-counted test object that answers IUnknown and, optionally, one more interface.
class CountedUnknown : public IUnknown {
public:
    explicit CountedUnknown(const IID* extra = nullptr) : m_extra(extra) {}
    virtual ~CountedUnknown() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || (m_extra && riid == *m_extra)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }  // lives on the test's stack
    ULONG Refs() const { return m_refs; }

private:
    const IID* m_extra;
    std::atomic<ULONG> m_refs{1};
};

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

inline std::wstring GroupName(IOPCGroupStateMgt* group)
{
    DWORD rate;
    BOOL active;
    LPWSTR name = nullptr;
    LONG bias;
    FLOAT deadband;
    LCID locale;
    OPCHANDLE client, server;
    if (FAILED(group->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server))) return L"<failed>";
    std::wstring copy = name;
    CoTaskMemFree(name);
    return copy;
}

inline DWORD GroupCount(IOPCServer* server)
{
    OPCSERVERSTATUS* status = nullptr;
    REQUIRE(server->GetStatus(&status) == S_OK);
    DWORD count = status->dwGroupCount;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return count;
}

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

// A server with one group, seen through the interfaces the item tests use.
struct ServerWithGroup {
    Ref<IOPCServer> server;
    Ref<IOPCGroupStateMgt> group;
    Ref<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;

    explicit ServerWithGroup(BOOL active = FALSE, DWORD rate = 1000)
    {
        CreateServerAs(server);
        AddedGroup added = AddGroup(server.Get(), L"Items", group, rate, active);
        REQUIRE(added.result == S_OK);
        groupHandle = added.handle;
        REQUIRE(group->QueryInterface(IID_IOPCItemMgt, items.PutVoid()) == S_OK);
    }
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
