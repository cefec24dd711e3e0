// A second client process for the local server tests: it creates the server out of
// process and either writes one value or keeps one subscription until it is killed.
//
//   client_child write ITEM NUMBER        exit 0 once the value is written and every
//                                         object released
//   client_child subscribe ITEM EVENT     sets the named event at the first data change,
//                                         then waits to be killed

#include <objbase.h>
#include <opcda.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}
constexpr CLSID kServerClsid = {0x7E15A0C2, 0x4B91, 0x4D3E, {0x9F, 0x62, 0x0C, 0x8A, 0x5D, 0x21, 0xB7, 0xE4}};

// Lives until the process ends (or is killed); no reference is ever given back.
class ChangeSignal : public IOPCDataCallback {
public:
    explicit ChangeSignal(HANDLE event) : m_event(event) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = riid == IID_IUnknown || riid == IID_IOPCDataCallback ? static_cast<IOPCDataCallback*>(this) : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override
    {
        SetEvent(m_event);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    HANDLE m_event;
};

int Fail(const char* what, HRESULT hr)
{
    std::printf("client_child: %s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// The steps both modes share: the server, an active group of one item.
HRESULT OpenItem(const wchar_t* itemId, IOPCServer** server, IUnknown** group, OPCHANDLE* item)
{
    HRESULT hr = CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(server));
    if (FAILED(hr)) return hr;
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    hr = (*server)->AddGroup(L"child", TRUE, 100, 1, nullptr, nullptr, 0, &groupHandle, &revised, IID_IOPCItemMgt,
                          group);
    if (FAILED(hr)) return hr;
    IOPCItemMgt* items = static_cast<IOPCItemMgt*>(*group);
    OPCITEMDEF definition{};
    definition.szAccessPath = const_cast<LPWSTR>(L"");
    definition.szItemID = const_cast<LPWSTR>(itemId);
    definition.bActive = TRUE;
    definition.hClient = 1;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &definition, &results, &errors);
    if (hr != S_OK) return FAILED(hr) ? hr : errors[0];
    *item = results[0].hServer;
    return S_OK;
}

// Lets go of everything, as a client must: the host does not end while it holds anything.
int Write(const wchar_t* itemId, double value)
{
    IOPCServer* server = nullptr;
    IUnknown* group = nullptr;
    OPCHANDLE item = 0;
    HRESULT hr = OpenItem(itemId, &server, &group, &item);
    if (FAILED(hr)) return Fail("opening the item", hr);
    IOPCSyncIO* io = nullptr;
    hr = group->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io));
    if (FAILED(hr)) return Fail("IOPCSyncIO", hr);
    VARIANT v{};
    v.vt = VT_R8;
    v.dblVal = value;
    HRESULT* errors = nullptr;
    hr = io->Write(1, &item, &v, &errors);
    if (hr != S_OK) return Fail("Write", hr);
    io->Release();
    group->Release();
    server->Release();
    CoUninitialize();
    return 0;
}

// Nothing is released: the process is killed.
int Subscribe(const wchar_t* itemId, const wchar_t* eventName)
{
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    if (!event) return Fail("OpenEvent", HRESULT_FROM_WIN32(GetLastError()));
    IOPCServer* server = nullptr;
    IUnknown* group = nullptr;
    OPCHANDLE item = 0;
    HRESULT hr = OpenItem(itemId, &server, &group, &item);
    if (FAILED(hr)) return Fail("opening the item", hr);
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    hr = group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, &point);
    static ChangeSignal sink(event);
    DWORD cookie = 0;
    if (SUCCEEDED(hr)) hr = point->Advise(&sink, &cookie);
    if (FAILED(hr)) return Fail("Advise", hr);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (argc == 4 && std::wcscmp(argv[1], L"write") == 0) return Write(argv[2], std::wcstod(argv[3], nullptr));
    if (argc == 4 && std::wcscmp(argv[1], L"subscribe") == 0) return Subscribe(argv[2], argv[3]);
    std::puts("usage: client_child write ITEM NUMBER | subscribe ITEM EVENT");
    return 2;
}
