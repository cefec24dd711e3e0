#include "twopc/io/Transactions.h"

namespace twopc::io {

using orv::com::CSingleLock;

namespace {

HRESULT MasterQuality(const ItemValues& values, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (values.qualities[i] != OPC_QUALITY_GOOD) return S_FALSE;
    return S_OK;
}

// Reads the items for an OPC 2.0 completion; the callback is taken under the group lock
// and called after it has been let go.
struct Read2Outcome {
    explicit Read2Outcome(std::size_t count) : values(count) {}
    ItemValues values;
    HRESULT result = S_OK;
    OPCHANDLE clientGroup = 0;
    orv::com::ComPtr<IOPCDataCallback> callback;
};

}  // namespace

CTransaction::CTransaction(DWORD transactionId, ITransactionGroup* group)
    : m_transactionId(transactionId), m_group(group)
{
    m_group->AddPendingUse();
}

CTransaction::~CTransaction()
{
    m_group->DropPendingUse();
}

CReadTransaction::CReadTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection,
                                   OPCDATASOURCE source, std::vector<OPCHANDLE> handles)
    : CAsyncTransaction(transactionId, group, connection), m_source(source), m_handles(std::move(handles))
{
}

void CReadTransaction::Execute()
{
    CSingleLock hold(Group().Lock());
    ItemValues values(m_handles.size());
    Group().GroupRead(m_source, static_cast<DWORD>(m_handles.size()), m_handles.data(), values);
    Group().SendReadCompletion(m_connection, TransactionId(), static_cast<DWORD>(m_handles.size()), values);
}

CWriteTransaction::CWriteTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection,
                                     std::vector<OPCHANDLE> handles, const VARIANT* values)
    : CAsyncTransaction(transactionId, group, connection), m_handles(std::move(handles)),
      m_values(orv::com::VariantArray::CopyOf(values, m_handles.size()))
{
}

void CWriteTransaction::Execute()
{
    CSingleLock hold(Group().Lock());
    const DWORD count = static_cast<DWORD>(m_handles.size());
    std::vector<OPCHANDLE> clientHandles(count);
    std::vector<HRESULT> errors(count);
    Group().GroupWrite(count, m_handles.data(), m_values.Data(), clientHandles.data(), errors.data());
    Group().SendWriteCompletion(m_connection, TransactionId(), count, clientHandles.data(), errors.data());
}

void CRefreshTransaction::Execute()
{
    CSingleLock hold(Group().Lock());
    if (!Group().IsActive()) return;
    std::vector<OPCHANDLE> handles = Group().ActiveItemHandles();
    ItemValues values(handles.size());
    Group().GroupRead(m_source, static_cast<DWORD>(handles.size()), handles.data(), values);
    Group().SendReadCompletion(m_connection, TransactionId(), static_cast<DWORD>(handles.size()), values);
}

CWrite2Transaction::CWrite2Transaction(DWORD transactionId, ITransactionGroup* group, DWORD clientTransactionId,
                                       std::vector<OPCHANDLE> handles, const VARIANT* values)
    : CAsync2Transaction(transactionId, group, clientTransactionId), m_handles(std::move(handles)),
      m_values(orv::com::VariantArray::CopyOf(values, m_handles.size()))
{
}

void CRead2Transaction::Execute()
{
    const DWORD count = static_cast<DWORD>(m_handles.size());
    Read2Outcome outcome(count);
    {
        CSingleLock hold(Group().Lock());
        outcome.result = Group().GroupRead(OPC_DS_DEVICE, count, m_handles.data(), outcome.values);
        outcome.clientGroup = Group().ClientHandle();
        outcome.callback = Group().DataCallback();
    }
    if (!outcome.callback) return;
    ItemValues& v = outcome.values;
    Group().NoteCallbackResult(orv::com::CallClient([&] {
        return outcome.callback->OnReadComplete(m_clientTransactionId, outcome.clientGroup, MasterQuality(v, count),
                                                outcome.result, count, v.clientHandles.data(), v.values.Data(),
                                                v.qualities.data(), v.timestamps.data(), v.errors.data());
    }));
}

void CWrite2Transaction::Execute()
{
    const DWORD count = static_cast<DWORD>(m_handles.size());
    std::vector<OPCHANDLE> clientHandles(count);
    std::vector<HRESULT> errors(count);
    HRESULT result;
    OPCHANDLE clientGroup;
    orv::com::ComPtr<IOPCDataCallback> callback;
    {
        CSingleLock hold(Group().Lock());
        result = Group().GroupWrite(count, m_handles.data(), m_values.Data(), clientHandles.data(), errors.data());
        clientGroup = Group().ClientHandle();
        callback = Group().DataCallback();
    }
    if (callback)
        Group().NoteCallbackResult(orv::com::CallClient([&] {
            return callback->OnWriteComplete(m_clientTransactionId, clientGroup, result, count, clientHandles.data(),
                                             errors.data());
        }));
}

void CRefresh2Transaction::Execute()
{
    std::unique_ptr<Read2Outcome> outcome;
    DWORD count = 0;
    {
        CSingleLock hold(Group().Lock());
        if (!Group().IsActive()) return;
        std::vector<OPCHANDLE> handles = Group().ActiveItemHandles();
        count = static_cast<DWORD>(handles.size());
        outcome = std::make_unique<Read2Outcome>(count);
        outcome->result = Group().GroupRead(m_source, count, handles.data(), outcome->values);
        outcome->clientGroup = Group().ClientHandle();
        outcome->callback = Group().DataCallback();
    }
    if (!outcome->callback) return;
    ItemValues& v = outcome->values;
    Group().NoteCallbackResult(orv::com::CallClient([&] {
        return outcome->callback->OnDataChange(m_clientTransactionId, outcome->clientGroup, MasterQuality(v, count),
                                               outcome->result, count, v.clientHandles.data(), v.values.Data(),
                                               v.qualities.data(), v.timestamps.data(), v.errors.data());
    }));
}

}  // namespace twopc::io
