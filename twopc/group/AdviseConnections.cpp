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
    auto connection = std::make_unique<CConnectionData>(format, advf, sink);
    DWORD id = connection->id;
    orv::com::CSingleLock hold(m_lock);
    m_connections.push_back(std::move(connection));
    return id;
}

bool CAdvisoryConnectionMgr::Remove(DWORD id)
{
    std::unique_ptr<CConnectionData> removed;
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
    return ForOne(id, [](const CConnectionData&) {});
}

bool CAdvisoryConnectionMgr::Empty()
{
    orv::com::CSingleLock hold(m_lock);
    return m_connections.empty();
}

void CAdvisoryConnectionMgr::Clear()
{
    std::list<std::unique_ptr<CConnectionData>> removed;
    orv::com::CSingleLock hold(m_lock);
    removed.swap(m_connections);
}

}  // namespace twopc::group
