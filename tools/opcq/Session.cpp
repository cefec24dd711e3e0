#include "Session.h"

#include "Values.h"

namespace opcq {
namespace {

// The block FormatMessage allocates with LocalAlloc.
struct LocalText {
    wchar_t* text = nullptr;
    LocalText() = default;
    LocalText(const LocalText&) = delete;
    LocalText& operator=(const LocalText&) = delete;
    ~LocalText() { LocalFree(text); }
};

// Texts for the codes a client meets before any server answers, for systems that have none.
struct KnownCode {
    HRESULT code;
    const wchar_t* text;
};

constexpr KnownCode kKnownCodes[] = {
    {CO_E_CLASSSTRING, L"Invalid class string."},
    {REGDB_E_CLASSNOTREG, L"Class not registered."},
    {CO_E_SERVER_EXEC_FAILURE, L"Server execution failed."},
    {CO_E_NOTINITIALIZED, L"COM is not initialized on this thread."},
    {E_NOINTERFACE, L"No such interface supported."},
    {E_NOTIMPL, L"Not implemented."},
    {E_ACCESSDENIED, L"Access denied."},
    {E_OUTOFMEMORY, L"Out of memory."},
    {E_INVALIDARG, L"Invalid argument."},
    {E_FAIL, L"Unspecified error."},
};

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// The results of one AddItems call: each record's blob, then both arrays.
struct AddItemsResults {
    OPCITEMRESULT* records = nullptr;
    HRESULT* errors = nullptr;
    DWORD count = 0;
    AddItemsResults() = default;
    AddItemsResults(const AddItemsResults&) = delete;
    AddItemsResults& operator=(const AddItemsResults&) = delete;
    ~AddItemsResults()
    {
        if (records)
            for (DWORD i = 0; i < count; ++i) CoTaskMemFree(records[i].pBlob);
        CoTaskMemFree(records);
        CoTaskMemFree(errors);
    }
};

// The results of one Read call: each state's value, then both arrays.
struct ReadResults {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    DWORD count = 0;
    ReadResults() = default;
    ReadResults(const ReadResults&) = delete;
    ReadResults& operator=(const ReadResults&) = delete;
    ~ReadResults()
    {
        if (states)
            for (DWORD i = 0; i < count; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
};

}  // namespace

std::wstring OpcFailure::Message() const
{
    std::wstring message = m_what + L": " + HResultHex(m_code);
    if (!m_codeText.empty()) message += L" " + m_codeText;
    return message;
}

std::wstring SystemErrorText(HRESULT code)
{
    LocalText found;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&found.text), 0, nullptr);
    if (length > 0 && found.text) {
        std::wstring line = SingleLine(std::wstring_view(found.text, length));
        if (!line.empty()) return line;
    }
    for (const KnownCode& known : kKnownCodes)
        if (known.code == code) return known.text;
    return L"";
}

std::wstring ClsidText(const CLSID& clsid)
{
    wchar_t text[40];
    if (StringFromGUID2(clsid, text, 40) == 0) return L"{?}";
    return text;
}

OpcServer OpcServer::Connect(const std::wstring& name, const ServerContext& context)
{
    OpcServer session;
    session.m_name = name;
    const bool byClsid = !name.empty() && name.front() == L'{';
    HRESULT hr = byClsid ? CLSIDFromString(name.c_str(), &session.m_clsid)
                         : CLSIDFromProgID(name.c_str(), &session.m_clsid);
    if (FAILED(hr)) {
        std::wstring what = byClsid ? Quoted(name) + L" is not a CLSID" : L"server " + Quoted(name) + L" is not registered";
        throw OpcFailure(what, hr, SystemErrorText(hr));
    }
    COSERVERINFO remote{};
    remote.pwszName = const_cast<LPWSTR>(context.host.c_str());
    MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
    hr = CoCreateInstanceEx(session.m_clsid, nullptr, context.classContext, context.host.empty() ? nullptr : &remote,
                            1, &query);
    if (SUCCEEDED(hr)) hr = query.hr;
    *session.m_server.PutVoid() = query.pItf;
    if (FAILED(hr)) {
        std::wstring what = hr == REGDB_E_CLASSNOTREG
                                ? L"server " + Quoted(name) + L" is not registered"
                                : L"cannot create server " + Quoted(name) + L" " + ClsidText(session.m_clsid);
        throw OpcFailure(what, hr, SystemErrorText(hr));
    }
    session.m_server.As(session.m_common);
    if (session.m_common) session.m_common->SetClientName(L"opcq");
    return session;
}

std::wstring OpcServer::ErrorText(HRESULT code) const
{
    CoTaskArray<wchar_t> text;
    HRESULT hr = E_NOTIMPL;
    if (m_common) hr = m_common->GetErrorString(code, text.Put());
    if (FAILED(hr) && m_server) hr = m_server->GetErrorString(code, LOCALE_SYSTEM_DEFAULT, text.Put());
    if (SUCCEEDED(hr) && text) {
        std::wstring line = SingleLine(text.Get());
        if (!line.empty()) return line;
    }
    return SystemErrorText(code);
}

OpcGroup::OpcGroup(const OpcServer& server, const wchar_t* name, bool active, DWORD updateRateMs) : m_server(server)
{
    LONG timeBias = 0;
    FLOAT deadband = 0.0f;
    HRESULT hr = server.Server()->AddGroup(name, active ? TRUE : FALSE, updateRateMs, 0, &timeBias, &deadband,
                                           LOCALE_SYSTEM_DEFAULT, &m_handle, &m_revisedRate, IID_IOPCGroupStateMgt,
                                           reinterpret_cast<LPUNKNOWN*>(m_state.Put()));
    server.Check(hr, L"AddGroup");
    hr = m_state.As(m_items);
    if (!m_items) {
        // No destructor runs for a constructor that throws: the group goes here.
        m_state.Reset();
        server.Server()->RemoveGroup(m_handle, FALSE);
        server.Check(FAILED(hr) ? hr : E_NOINTERFACE, L"the group does not offer IOPCItemMgt");
    }
}

OpcGroup::~OpcGroup()
{
    // Our references go first, so that the removal finds the group unused.
    m_syncIO.Reset();
    m_items.Reset();
    m_state.Reset();
    if (m_handle) m_server.Server()->RemoveGroup(m_handle, FALSE);
}

std::vector<AddedItem> OpcGroup::AddItems(const std::vector<std::wstring>& itemIds, bool active)
{
    std::vector<OPCITEMDEF> definitions(itemIds.size());
    for (std::size_t i = 0; i < itemIds.size(); ++i) {
        OPCITEMDEF& definition = definitions[i];
        definition.szAccessPath = const_cast<LPWSTR>(L"");
        definition.szItemID = const_cast<LPWSTR>(itemIds[i].c_str());
        definition.bActive = active ? TRUE : FALSE;
        definition.hClient = m_nextClientHandle + static_cast<OPCHANDLE>(i);
        definition.vtRequestedDataType = VT_EMPTY;
    }
    AddItemsResults results;
    HRESULT hr = m_items->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results.records,
                                   &results.errors);
    results.count = static_cast<DWORD>(definitions.size());
    m_server.Check(hr, L"AddItems");
    m_nextClientHandle += static_cast<OPCHANDLE>(itemIds.size());

    std::vector<AddedItem> added(itemIds.size());
    for (std::size_t i = 0; i < itemIds.size(); ++i) {
        added[i].itemId = itemIds[i];
        added[i].error = results.errors ? results.errors[i] : hr;
        if (SUCCEEDED(added[i].error) && results.records) {
            added[i].serverHandle = results.records[i].hServer;
            added[i].canonicalType = results.records[i].vtCanonicalDataType;
            added[i].accessRights = results.records[i].dwAccessRights;
        }
    }
    return added;
}

IOPCSyncIO& OpcGroup::SyncIO()
{
    if (!m_syncIO) {
        const HRESULT hr = m_state.As(m_syncIO);
        if (!m_syncIO) m_server.Check(FAILED(hr) ? hr : E_NOINTERFACE, L"the group does not offer IOPCSyncIO");
    }
    return *m_syncIO.Get();
}

std::vector<ItemValue> OpcGroup::Read(OPCDATASOURCE source, const std::vector<OPCHANDLE>& serverHandles)
{
    std::vector<ItemValue> values(serverHandles.size());
    if (serverHandles.empty()) return values;
    ReadResults results;
    HRESULT hr = SyncIO().Read(source, static_cast<DWORD>(serverHandles.size()),
                               const_cast<OPCHANDLE*>(serverHandles.data()), &results.states, &results.errors);
    results.count = static_cast<DWORD>(serverHandles.size());
    m_server.Check(hr, L"Read");
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i].error = results.errors ? results.errors[i] : hr;
        if (!results.states) continue;
        OPCITEMSTATE& state = results.states[i];
        values[i].value = UniqueVariant::Adopt(state.vDataValue);
        values[i].quality = state.wQuality;
        values[i].timestamp = state.ftTimeStamp;
    }
    return values;
}

std::vector<HRESULT> OpcGroup::Write(const std::vector<OPCHANDLE>& serverHandles, std::vector<UniqueVariant>& values)
{
    std::vector<HRESULT> outcomes(serverHandles.size(), S_OK);
    if (serverHandles.empty()) return outcomes;
    // The array handed over holds shallow copies: the owners keep the values.
    std::vector<VARIANT> shallow(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) shallow[i] = values[i].Ref();
    CoTaskArray<HRESULT> errors;
    HRESULT hr = SyncIO().Write(static_cast<DWORD>(serverHandles.size()), const_cast<OPCHANDLE*>(serverHandles.data()),
                                shallow.data(), errors.Put());
    m_server.Check(hr, L"Write");
    for (std::size_t i = 0; i < outcomes.size(); ++i) outcomes[i] = errors ? errors[i] : hr;
    return outcomes;
}

}  // namespace opcq
