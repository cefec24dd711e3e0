// The server in its local server host, twopcsrv.exe, reached from other processes: this
// test and the child client processes it starts. Every call crosses a process boundary
// through the proxy/stub library, callbacks included.

#include "ChildProcess.h"
#include "FakeAdviseSink.h"
#include "FakeDataCallback.h"

#include <olectl.h>
#include <tlhelp32.h>

#include <thread>

using namespace twopc::test;

namespace {

const wchar_t kHostName[] = L"twopcsrv.exe";

// The host's LocalServer32 and AppID for the length of one test.
class HostRegistration {
public:
    HostRegistration() { REQUIRE(Run(L"/RegServer") == 0); }
    ~HostRegistration() { CHECK(Run(L"/UnregServer") == 0); }
    HostRegistration(const HostRegistration&) = delete;
    HostRegistration& operator=(const HostRegistration&) = delete;

private:
    static DWORD Run(const wchar_t* option)
    {
        return RunChild(L"\"" + OwnDirectory() + kHostName + L"\" " + option).exitCode;
    }
};

int HostProcesses()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, kHostName) == 0) ++count;
    CloseHandle(snapshot);
    return count;
}

template <class T>
Ref<T> NewLocalServer()
{
    Ref<T> server;
    REQUIRE(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(T), server.PutVoid()) == S_OK);
    return server;
}

class FakeShutdownSink : public StackObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

// Cuts the stubs of a sink on the test's stack, so that nothing outside can reach it
// once the test is over.
void Disconnect(IUnknown* sink)
{
    CHECK(CoDisconnectObject(sink, 0) == S_OK);
}

void FreeAttributes(OPCITEMATTRIBUTES* attributes, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        CoTaskMemFree(attributes[i].szAccessPath);
        CoTaskMemFree(attributes[i].szItemID);
        CoTaskMemFree(attributes[i].pBlob);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
}

bool HasCall(FakeDataCallback& sink, char kind, DWORD transaction, double value)
{
    for (const RecordedCall& call : sink.Calls())
        if (call.kind == kind && call.transactionId == transaction && call.items.size() == 1 &&
            call.items[0].number == value)
            return true;
    return false;
}

// A client process of this test, killed if it is still running when the object goes.
class ChildClient {
public:
    explicit ChildClient(const std::wstring& arguments)
    {
        std::wstring commandLine = L"\"" + OwnDirectory() + L"client_child.exe\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        REQUIRE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &m_process));
        CloseHandle(m_process.hThread);
    }
    ChildClient(const ChildClient&) = delete;
    ChildClient& operator=(const ChildClient&) = delete;
    ~ChildClient()
    {
        Kill();
        CloseHandle(m_process.hProcess);
    }
    void Kill()
    {
        TerminateProcess(m_process.hProcess, 9);
        WaitForSingleObject(m_process.hProcess, 10000);
    }
    DWORD WaitForExit()
    {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(m_process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION m_process{};
};

}  // namespace

TEST_CASE("every interface family crosses the process boundary, callbacks and streams included")
{
    REQUIRE(WaitFor([] { return HostProcesses() == 0; }, 20000));
    HostRegistration registration;
    FakeDataCallback callback;
    RecordingSink adviseSink;
    FakeShutdownSink shutdownSink;
    {
        auto server = NewLocalServer<IOPCServer>();
        CHECK(HostProcesses() == 1);
        CHECK(ServerStatus(server.Get())->dwServerState == OPC_STATUS_RUNNING);

        auto common = As<IOPCCommon>(server.Get());
        CHECK(common->SetClientName(L"localserver_test") == S_OK);
        TaskArray<wchar_t> text;
        CHECK(common->GetErrorString(OPC_E_INVALIDHANDLE, text.Put()) == S_OK);
        CHECK(text.Get() != nullptr);

        auto properties = As<IOPCItemProperties>(server.Get());
        DWORD count = 0;
        TaskArray<DWORD> ids;
        TaskArray<LPWSTR> descriptions;
        TaskArray<VARTYPE> types;
        REQUIRE(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"\\\\.\\proc1\\Constant"), &count, ids.Put(),
                                                     descriptions.Put(), types.Put()) == S_OK);
        CHECK(count >= 6);
        CHECK(ids[1] == 2);  // the value
        for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
        DWORD valueProperty = 2;
        TaskArray<LPWSTR> newIds;
        Errors lookupErrors;
        REQUIRE(properties->LookupItemIDs(const_cast<LPWSTR>(L"\\\\.\\proc1\\Constant"), 1, &valueProperty,
                                          newIds.Put(), lookupErrors.Put()) == S_OK);
        REQUIRE(newIds[0] != nullptr);
        CHECK(std::wstring(newIds[0]) == L"\\\\.\\proc1\\Constant");
        CoTaskMemFree(newIds[0]);

        auto browse = As<IOPCBrowseServerAddressSpace>(server.Get());
        OPCNAMESPACETYPE organization{};
        CHECK(browse->QueryOrganization(&organization) == S_OK);
        CHECK(organization == OPC_NS_HIERARCHIAL);
        Ref<IEnumString> names;
        REQUIRE(browse->BrowseOPCItemIDs(OPC_BRANCH, const_cast<LPWSTR>(L""), VT_EMPTY, 0, names.Put()) == S_OK);
        LPOLESTR name = nullptr;
        CHECK(names->Next(1, &name, nullptr) == S_OK);
        CoTaskMemFree(name);

        Ref<IConnectionPoint> shutdownPoint;
        REQUIRE(As<IConnectionPointContainer>(server.Get())->FindConnectionPoint(IID_IOPCShutdown,
                                                                                 shutdownPoint.Put()) == S_OK);
        DWORD shutdownCookie = 0;
        CHECK(shutdownPoint->Advise(&shutdownSink, &shutdownCookie) == S_OK);
        CHECK(shutdownCookie == 1);
        CHECK(shutdownPoint->Unadvise(shutdownCookie) == S_OK);

        Ref<IOPCGroupStateMgt> group;
        AddedGroup added = AddGroup(server.Get(), L"remote", group, 100, TRUE);
        REQUIRE(added.result == S_OK);
        CHECK(GroupName(group.Get()) == L"remote");
        auto items = As<IOPCItemMgt>(group.Get());
        ItemResults results;
        AddItems(items.Get(), {ItemDef(L"\\\\.\\proc1\\Constant", 11)}, results);
        REQUIRE(results.result == S_OK);
        const OPCHANDLE constant = results.records[0].hServer;

        Ref<IEnumOPCItemAttributes> attributes;
        REQUIRE(items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(attributes.Put())) ==
                S_OK);
        OPCITEMATTRIBUTES* listed = nullptr;
        ULONG fetched = 0;
        CHECK(attributes->Next(2, &listed, &fetched) == S_FALSE);
        REQUIRE(fetched == 1);
        CHECK(listed[0].hServer == constant);
        FreeAttributes(listed, fetched);

        {
            ReadResults read(As<IOPCSyncIO>(group.Get()).Get(), OPC_DS_DEVICE, {constant});
            REQUIRE(read.result == S_OK);
            CHECK(read.states[0].vDataValue.vt == VT_R8);
            CHECK(read.states[0].vDataValue.dblVal == 42.0);
        }

        const DWORD cookie = AdviseDataCallback(group.Get(), &callback);
        DWORD cancelId = 0;
        Errors errors;
        OPCHANDLE handle = constant;
        REQUIRE(As<IOPCAsyncIO2>(group.Get())->Read(1, &handle, 77, &cancelId, errors.Put()) == S_OK);
        CHECK(WaitFor([&] { return HasCall(callback, 'R', 77, 42.0); }));
        UnadviseDataCallback(group.Get(), cookie);

        auto data = As<IDataObject>(group.Get());
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME")), nullptr,
                         DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        REQUIRE(data->DAdvise(&format, 0, &adviseSink, &connection) == S_OK);
        DWORD transaction = 0;
        Errors streamErrors;
        REQUIRE(As<IOPCAsyncIO>(group.Get())->Read(connection, OPC_DS_DEVICE, 1, &handle, &transaction,
                                                   streamErrors.Put()) == S_OK);
        CHECK(WaitFor([&] { return adviseSink.Count() >= 1; }));
        const std::vector<Received> streams = adviseSink.Calls();
        REQUIRE(!streams.empty());
        CHECK(streams[0].format.cfFormat == format.cfFormat);
        CHECK(streams[0].tymed == TYMED_HGLOBAL);
        CHECK(streams[0].bytes.size() > sizeof(OPCGROUPHEADER));
        CHECK(data->DUnadvise(connection) == S_OK);

        data.Reset();
        attributes.Reset();
        items.Reset();
        group.Reset();
        CHECK(server->RemoveGroup(added.handle, FALSE) == S_OK);
    }
    // The last client has let go: the host ends.
    CHECK(WaitFor([] { return HostProcesses() == 0; }, 20000));
    for (IUnknown* sink : {static_cast<IUnknown*>(&callback), static_cast<IUnknown*>(&adviseSink),
                           static_cast<IUnknown*>(&shutdownSink)})
        Disconnect(sink);
}

TEST_CASE("one plant for all client processes; a killed client stops neither the others nor the host's end")
{
    REQUIRE(WaitFor([] { return HostProcesses() == 0; }, 20000));
    FakeDataCallback callback;
    HostRegistration registration;
    {
        auto server = NewLocalServer<IOPCServer>();
        Ref<IOPCGroupStateMgt> group;
        REQUIRE(AddGroup(server.Get(), L"watch", group, 100, TRUE).result == S_OK);
        ItemResults results;
        AddItems(As<IOPCItemMgt>(group.Get()).Get(),
                 {ItemDef(L"\\\\.\\proc1\\Setpoint", 1), ItemDef(L"\\\\.\\proc1\\Waveform.ramp", 2)}, results);
        REQUIRE(results.result == S_OK);
        const DWORD cookie = AdviseDataCallback(group.Get(), &callback);
        REQUIRE(callback.WaitForCalls(1));

        // A value written by another process arrives here as a data change.
        ChildClient writer(L"write \\\\.\\proc1\\Setpoint 4321.5");
        CHECK(writer.WaitForExit() == 0);
        CHECK(WaitFor([&] {
            for (const RecordedCall& call : callback.Calls())
                for (const RecordedItem& item : call.items)
                    if (call.kind == 'D' && item.clientHandle == 1 && item.number == 4321.5) return true;
            return false;
        }));
        CHECK(HostProcesses() == 1);

        // A subscriber killed mid-subscription: this client goes on receiving, promptly.
        HANDLE subscribed = CreateEventW(nullptr, TRUE, FALSE, L"twopc-localserver-subscribed");
        REQUIRE(subscribed != nullptr);
        {
            ChildClient subscriber(L"subscribe \\\\.\\proc1\\Waveform.ramp twopc-localserver-subscribed");
            REQUIRE(WaitForSingleObject(subscribed, 20000) == WAIT_OBJECT_0);
            subscriber.Kill();
        }
        CloseHandle(subscribed);
        const std::size_t before = callback.CallCount();
        CHECK(callback.WaitForCalls(before + 10, 10000));
        CHECK(GroupCount(server.Get()) == 1);

        UnadviseDataCallback(group.Get(), cookie);
    }
    // The killed client's references are released only when COM runs them down (Wine
    // never does), but its failing callbacks showed it gone: the host ends, still
    // registered, once this last live client has let go.
    CHECK(WaitFor([] { return HostProcesses() == 0; }, 30000));
    Disconnect(&callback);
}

TEST_CASE("opcq: a watch through the local server sees what another opcq process writes")
{
    REQUIRE(WaitFor([] { return HostProcesses() == 0; }, 20000));
    HostRegistration registration;
    const std::wstring opcq = L"\"" + OwnDirectory() + L"opcq.exe\" --context local ";
    ChildRun watch;
    std::thread watcher([&] { watch = RunChild(opcq + L"watch \\\\.\\proc2\\Pump.speed --rate 100 --seconds 8"); });
    Sleep(3000);
    const ChildRun write = RunChild(opcq + L"write \\\\.\\proc2\\Pump.speed=1234.5");
    watcher.join();
    CHECK(write.exitCode == 0);
    CHECK(watch.exitCode == 0);
    CHECK(watch.out.find("1234.5") != std::string::npos);
}

TEST_CASE("host registration adds LocalServer32 and the AppID, and unregistration removes exactly them")
{
    const std::wstring classKey = L"CLSID\\{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}";
    const std::wstring inproc = RegistryString(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32");
    {
        HostRegistration registration;
        CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, classKey + L"\\LocalServer32")) ==
              "\"" + Narrow(OwnDirectory()) + "twopcsrv.exe\"");
        CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, classKey, L"AppID")) ==
              "{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}");
        CHECK(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID\\{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}"));
        CHECK(Narrow(RegistryString(HKEY_CLASSES_ROOT, L"AppID\\twopcsrv.exe", L"AppID")) ==
              "{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}");
    }
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, classKey + L"\\LocalServer32"));
    CHECK(RegistryString(HKEY_CLASSES_ROOT, classKey, L"AppID") == L"<missing>");
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID\\{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}"));
    CHECK_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"AppID\\twopcsrv.exe"));
    CHECK(RegistryString(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32") == inproc);
    CHECK(inproc != L"<missing>");
}
