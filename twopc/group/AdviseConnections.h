#pragma once
// The OPC 1.0 advise connections of a group, one manager per stream format. A connection
// keeps the FORMATETC the client advised with, its advise flags, a connection ID from the
// process-wide allocator (given back when the connection goes) and the client's sink.
//
// A sink may unadvise itself, or remove its group, from inside the call that delivers to
// it: deliveries work on a snapshot of the connections, each held by a reference of its
// own, and call the sinks outside the manager's lock.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"

#include <objidl.h>

#include <list>
#include <memory>
#include <vector>

namespace twopc::group {

class CConnectionData {
public:
    CConnectionData(const FORMATETC& format, DWORD advf, IAdviseSink* sink);
    virtual ~CConnectionData();
    CConnectionData(const CConnectionData&) = delete;
    CConnectionData& operator=(const CConnectionData&) = delete;

    const FORMATETC format;
    const DWORD advf;
    const DWORD id;
    const orv::com::ComPtr<IAdviseSink> sink;
};

class CAdvisoryConnectionMgr {
public:
    CAdvisoryConnectionMgr() = default;
    virtual ~CAdvisoryConnectionMgr() = default;
    CAdvisoryConnectionMgr(const CAdvisoryConnectionMgr&) = delete;
    CAdvisoryConnectionMgr& operator=(const CAdvisoryConnectionMgr&) = delete;

    // Returns the new connection's ID.
    DWORD Add(const FORMATETC& format, DWORD advf, IAdviseSink* sink);
    // False when no connection has that ID.
    bool Remove(DWORD id);
    bool Has(DWORD id);
    bool Empty();
    // Drops every connection (their sinks are released).
    void Clear();

    // Calls `send(connection)` for every connection there was when the call began, in
    // advise order.
    template <class Send>
    void ForEach(Send send)
    {
        for (const auto& connection : Snapshot()) send(*connection);
    }
    // Calls `send(connection)` for the one connection with that ID; false when there is none.
    template <class Send>
    bool ForOne(DWORD id, Send send)
    {
        std::shared_ptr<const CConnectionData> connection = Find(id);
        if (!connection) return false;
        send(*connection);
        return true;
    }

private:
    using Connection = std::shared_ptr<const CConnectionData>;
    std::vector<Connection> Snapshot();
    Connection Find(DWORD id);

    orv::com::CCriticalSection m_lock;
    std::list<Connection> m_connections;
};

}  // namespace twopc::group
