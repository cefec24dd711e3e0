#include "twopc/group/AdviseConnections.h"

#include "twopc/group/IdMgr.h"

namespace twopc::group {

CConnectionData::CConnectionData(const FORMATETC& format, DWORD advf, IAdviseSink* sink)
    : format(format), advf(advf), id(g_idMgr.AllocateId()), sink(sink)
{
}

CConnectionData::~CConnectionData()
{
    GiveBackId(id);
}

DWORD CAdvisoryConnectionMgr::Add(const FORMATETC& format, DWORD advf, IAdviseSink* sink)
{
    auto connection = std::make_shared<const CConnectionData>(format, advf, sink);
    DWORD id = connection->id;
    orv::com::CSingleLock hold(m_lock);
    m_connections.push_back(std::move(connection));
    return id;
}

bool CAdvisoryConnectionMgr::Remove(DWORD id)
{
    Connection removed;  // released after the lock: its sink may be the last reference to anything
    orv::com::CSingleLock hold(m_lock);
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if ((*it)->id != id) continue;
        removed = std::move(*it);
        m_connections.erase(it);
        return true;
    }
    return false;
}

bool CAdvisoryConnectionMgr::Has(DWORD id)
{
    return Find(id) != nullptr;
}

std::vector<CAdvisoryConnectionMgr::Connection> CAdvisoryConnectionMgr::Snapshot()
{
    orv::com::CSingleLock hold(m_lock);
    return {m_connections.begin(), m_connections.end()};
}

CAdvisoryConnectionMgr::Connection CAdvisoryConnectionMgr::Find(DWORD id)
{
    orv::com::CSingleLock hold(m_lock);
    for (const auto& connection : m_connections)
        if (connection->id == id) return connection;
    return nullptr;
}

bool CAdvisoryConnectionMgr::Empty()
{
    orv::com::CSingleLock hold(m_lock);
    return m_connections.empty();
}

void CAdvisoryConnectionMgr::Clear()
{
    std::list<Connection> removed;
    orv::com::CSingleLock hold(m_lock);
    removed.swap(m_connections);
}

}  // namespace twopc::group
