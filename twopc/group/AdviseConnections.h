#pragma once
// The OPC 1.0 advise connections of a group, one manager per stream format. A connection
// keeps the FORMATETC the client advised with, its advise flags, a connection ID from the
// process-wide allocator (given back when the connection goes) and the client's sink.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"

#include <objidl.h>

#include <list>
#include <memory>

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

    // Calls `send(connection)` for every connection, in advise order, under the manager's lock.
    template <class Send>
    void ForEach(Send send)
    {
        orv::com::CSingleLock hold(m_lock);
        for (const auto& connection : m_connections) send(*connection);
    }
    // Calls `send(connection)` for the one connection with that ID; false when there is none.
    template <class Send>
    bool ForOne(DWORD id, Send send)
    {
        orv::com::CSingleLock hold(m_lock);
        for (const auto& connection : m_connections) {
            if (connection->id != id) continue;
            send(*connection);
            return true;
        }
        return false;
    }

private:
    orv::com::CCriticalSection m_lock;
    std::list<std::unique_ptr<CConnectionData>> m_connections;
};

}  // namespace twopc::group
