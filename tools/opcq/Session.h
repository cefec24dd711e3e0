#pragma once
// A client's view of one OPC DA server: creating it by ProgID or CLSID, turning error
// codes into text, and private groups that read, write and subscribe. Whole-operation
// failures are thrown as OpcFailure; per-item outcomes are returned.

#include "CommandLine.h"
#include "ComOwners.h"

#include <opcda.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace opcq {

// What failed, the code, and the code's text; Message() is all three on one line.
class OpcFailure : public std::exception {
public:
    OpcFailure(std::wstring what, HRESULT code, std::wstring codeText)
        : m_what(std::move(what)), m_code(code), m_codeText(std::move(codeText))
    {
    }
    const char* what() const noexcept override { return "OPC operation failed"; }
    const std::wstring& What() const { return m_what; }
    HRESULT Code() const { return m_code; }
    const std::wstring& CodeText() const { return m_codeText; }
    std::wstring Message() const;

private:
    std::wstring m_what;
    HRESULT m_code;
    std::wstring m_codeText;
};

// The system's text for a code, on one line; "" when it has none.
std::wstring SystemErrorText(HRESULT code);
std::wstring ClsidText(const CLSID& clsid);

class OpcServer {
public:
    // Creates the server named by a ProgID or by a CLSID in braces, in the given context.
    static OpcServer Connect(const std::wstring& name, const ServerContext& context = {});

    IOPCServer* Server() const { return m_server.Get(); }
    const std::wstring& Name() const { return m_name; }
    const CLSID& Clsid() const { return m_clsid; }

    // The server's own text for the code (GetErrorString), else the system's, else "".
    std::wstring ErrorText(HRESULT code) const;
    void Check(HRESULT code, const std::wstring& what) const
    {
        if (FAILED(code)) throw OpcFailure(what, code, ErrorText(code));
    }
    // Another interface of the server object; failure says which one it lacks.
    template <class T>
    ComPtr<T> Interface(const wchar_t* interfaceName) const
    {
        ComPtr<T> found;
        const HRESULT hr = m_server.As(found);
        if (!found) Check(FAILED(hr) ? hr : E_NOINTERFACE, L"the server does not offer " + std::wstring(interfaceName));
        return found;
    }

private:
    std::wstring m_name;
    CLSID m_clsid{};
    ComPtr<IOPCServer> m_server;
    ComPtr<IOPCCommon> m_common;  // absent in OPC DA 1.0 servers
};

// The outcome of adding one item to a group.
struct AddedItem {
    std::wstring itemId;
    HRESULT error = S_OK;
    OPCHANDLE serverHandle = 0;
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = 0;
};

struct ItemValue {
    HRESULT error = S_OK;
    UniqueVariant value;
    WORD quality = 0;
    FILETIME timestamp{};
};

// A group of our own on the server, removed when this object goes. Item i of the items
// added gets client handle i, counting across AddItems calls.
class OpcGroup {
public:
    OpcGroup(const OpcServer& server, const wchar_t* name, bool active, DWORD updateRateMs);
    OpcGroup(const OpcGroup&) = delete;
    OpcGroup& operator=(const OpcGroup&) = delete;
    ~OpcGroup();

    std::vector<AddedItem> AddItems(const std::vector<std::wstring>& itemIds, bool active);
    // One entry per handle, in order.
    std::vector<ItemValue> Read(OPCDATASOURCE source, const std::vector<OPCHANDLE>& serverHandles);
    std::vector<HRESULT> Write(const std::vector<OPCHANDLE>& serverHandles, std::vector<UniqueVariant>& values);

    IUnknown* Object() const { return m_state.Get(); }
    DWORD RevisedUpdateRate() const { return m_revisedRate; }

private:
    IOPCSyncIO& SyncIO();

    const OpcServer& m_server;
    ComPtr<IOPCGroupStateMgt> m_state;
    ComPtr<IOPCItemMgt> m_items;
    ComPtr<IOPCSyncIO> m_syncIO;
    OPCHANDLE m_handle = 0;
    DWORD m_revisedRate = 0;
    OPCHANDLE m_nextClientHandle = 0;
};

}  // namespace opcq
