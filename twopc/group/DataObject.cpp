// IDataObject of COPCGroup and the OPC 1.0 stream deliveries: the scan broadcast, the read
// and write completions, and the refresh that DAdvise sends.
//
// Unlike every OPC 2.0 callback, advise sinks are called with the group lock held: the
// streams are built from group state and sent in the same breath, and a sink that calls
// back into the group from another thread waits until the send is over.

#include "twopc/group/OPCGroup.h"
#include "twopc/io/ClipboardFormats.h"
#include "twopc/io/Streams.h"

namespace twopc::group {

using orv::com::CSingleLock;
using orv::com::IsWritableOut;

namespace {

HRESULT BuildFromValues(bool withTimestamps, OPCHANDLE clientGroup, DWORD transactionId, DWORD count,
                        const ItemValues& values, io::UniqueHGlobal& block) noexcept
{
    io::StreamItems items;
    items.count = count;
    items.clientHandles = values.clientHandles.data();
    items.values = values.values.Data();
    items.qualities = values.qualities.data();
    items.timestamps = values.timestamps.data();
    return io::BuildDataStream(withTimestamps, clientGroup, transactionId, items, block);
}

// In advise order; false when the manager had no connection.
bool SendToAll(CAdvisoryConnectionMgr& manager, HGLOBAL block)
{
    bool sent = false;
    manager.ForEach([&](const CConnectionData& connection) {
        io::SendStream(connection.sink.Get(), connection.format, block);
        sent = true;
    });
    return sent;
}

bool SendToOne(CAdvisoryConnectionMgr& manager, DWORD id, HGLOBAL block)
{
    return manager.ForOne(
        id, [&](const CConnectionData& connection) { io::SendStream(connection.sink.Get(), connection.format, block); });
}

}  // namespace

// IDataObject

HRESULT COPCGroup::GetData(FORMATETC*, STGMEDIUM*) noexcept { return E_NOTIMPL; }
HRESULT COPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) noexcept { return E_NOTIMPL; }
HRESULT COPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) noexcept { return E_NOTIMPL; }
HRESULT COPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) noexcept { return E_NOTIMPL; }
HRESULT COPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) noexcept { return E_NOTIMPL; }
HRESULT COPCGroup::EnumDAdvise(IEnumSTATDATA**) noexcept { return E_NOTIMPL; }

HRESULT COPCGroup::QueryGetData(FORMATETC* pformatetc) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!pformatetc || !io::AdviseFormatOf(pformatetc->cfFormat) || pformatetc->dwAspect != DVASPECT_CONTENT ||
        pformatetc->ptd || pformatetc->tymed != TYMED_HGLOBAL)
        return DV_E_FORMATETC;
    if (pformatetc->lindex != -1) return DV_E_LINDEX;
    return S_OK;
}

HRESULT COPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    // A connection without a format, a sink or a way to name it later could never be used
    // or undone: refuse it before anything changes.
    if (!pformatetc || !pAdvSink || !IsWritableOut(pdwConnection)) return E_INVALIDARG;
    // Only the format decides; the other FORMATETC members and advf are kept as given.
    const auto format = io::AdviseFormatOf(pformatetc->cfFormat);
    if (!format) return DV_E_FORMATETC;

    DWORD id = 0;
    try {
        CAdvisoryConnectionMgr& manager = *format == AdviseFormat::DataWithTime ? m_adviseDataWithTime
                                          : *format == AdviseFormat::Data       ? m_adviseData
                                                                                : m_adviseWriteComplete;
        id = manager.Add(*pformatetc, advf, pAdvSink);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
    *pdwConnection = id;

    if (*format != AdviseFormat::WriteComplete && m_active) {
        // The connection stands whether or not this first refresh can be made, as it would
        // if a later scan failed to send.
        try {
            const std::vector<OPCHANDLE> handles = ActiveItemHandles();
            const auto count = static_cast<DWORD>(handles.size());
            ItemValues values(count);
            GroupRead(OPC_DS_CACHE, count, handles.data(), values);
            SendReadCompletion(id, 0, count, values);
        } catch (...) {
        }
    }
    return S_OK;
}

HRESULT COPCGroup::DUnadvise(DWORD dwConnection) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (m_adviseDataWithTime.Remove(dwConnection) || m_adviseData.Remove(dwConnection) ||
        m_adviseWriteComplete.Remove(dwConnection))
        return S_OK;
    return E_FAIL;
}

// OPC 1.0 streams

HRESULT COPCGroup::BroadcastToDataConnections(DWORD count, const ItemValues& values)
{
    CSingleLock hold(m_groupLock);
    const bool timed = !m_adviseDataWithTime.Empty();
    const bool plain = !m_adviseData.Empty();
    if (!timed && !plain) return S_FALSE;

    bool timedSent = false;
    if (timed) {
        io::UniqueHGlobal block;
        HRESULT built = BuildFromValues(true, m_clientHandle, 0, count, values, block);
        if (FAILED(built)) return built;
        timedSent = SendToAll(m_adviseDataWithTime, block.Get());
    }
    bool plainSent = false;
    HRESULT plainBuilt = S_OK;
    if (plain) {
        io::UniqueHGlobal block;
        plainBuilt = BuildFromValues(false, m_clientHandle, 0, count, values, block);
        if (SUCCEEDED(plainBuilt)) plainSent = SendToAll(m_adviseData, block.Get());
    }
    return plainSent || (timedSent && SUCCEEDED(plainBuilt)) ? S_OK : E_FAIL;
}

HRESULT COPCGroup::SendReadCompletion(DWORD connection, DWORD transactionId, DWORD count, const ItemValues& values)
{
    CSingleLock hold(m_groupLock);
    const bool withTimestamps = m_adviseDataWithTime.Has(connection);
    if (!withTimestamps && !m_adviseData.Has(connection)) return OLE_E_NOCONNECTION;
    // A stream that could not be built whole is not sent at all: the client would read
    // offsets into memory that holds no record. The build's code is the result.
    io::UniqueHGlobal block;
    HRESULT built = BuildFromValues(withTimestamps, m_clientHandle, transactionId, count, values, block);
    if (FAILED(built)) return built;
    return SendToOne(withTimestamps ? m_adviseDataWithTime : m_adviseData, connection, block.Get()) ? S_OK : S_FALSE;
}

HRESULT COPCGroup::SendWriteCompletion(DWORD connection, DWORD transactionId, DWORD count,
                                       const OPCHANDLE* clientHandles, const HRESULT* errors)
{
    CSingleLock hold(m_groupLock);
    if (!m_adviseWriteComplete.Has(connection)) return OLE_E_NOCONNECTION;
    io::UniqueHGlobal block;
    HRESULT built = io::BuildWriteCompleteStream(m_clientHandle, transactionId, count, clientHandles, errors, block);
    if (FAILED(built)) return built;
    return SendToOne(m_adviseWriteComplete, connection, block.Get()) ? S_OK : S_FALSE;
}

bool COPCGroup::HasDataConnection(DWORD connection)
{
    CSingleLock hold(m_groupLock);
    return m_adviseDataWithTime.Has(connection) || m_adviseData.Has(connection);
}

bool COPCGroup::HasWriteConnection(DWORD connection)
{
    CSingleLock hold(m_groupLock);
    return m_adviseWriteComplete.Has(connection);
}

}  // namespace twopc::group
