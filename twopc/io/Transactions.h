#pragma once
// Asynchronous requests waiting for the asynchronous I/O thread. Each holds a pending use
// of its group, which keeps the group alive and makes its removal wait for the
// transaction; destroying the transaction gives it back. Made only under the group lock
// of a group that is not removed.

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/com/HResult.h"
#include "orv/com/Owners.h"
#include "twopc/io/ItemValues.h"

#include <windows.h>
#include <opcda.h>

#include <vector>

namespace twopc::io {

// What a transaction needs of its group when it runs. The group implements it; this
// library knows groups only through it. Every member but Lock takes the group lock itself;
// a transaction takes it around a read and the state that goes with its completion.
class ITransactionGroup {
public:
    virtual orv::com::CCriticalSection& Lock() noexcept = 0;
    // A pending use is taken only while the group is not removed; dropping the last one
    // after a removal that did not wait may destroy the group.
    virtual void AddPendingUse() = 0;
    virtual void DropPendingUse() = 0;
    virtual bool IsActive() = 0;
    // The server handles of the active items, in active-list order.
    virtual std::vector<OPCHANDLE> ActiveItemHandles() = 0;
    virtual OPCHANDLE ClientHandle() = 0;
    virtual orv::com::ComPtr<IOPCDataCallback> DataCallback() = 0;
    // Each result of a callback to the group's client, which tells whether it is still alive.
    virtual void NoteCallbackResult(HRESULT hr) noexcept = 0;
    // Reads and writes a list of items by server handle; S_OK when every entry succeeded,
    // else S_FALSE.
    virtual HRESULT GroupRead(OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles, ItemValues& out) = 0;
    virtual HRESULT GroupWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values,
                               OPCHANDLE* clientHandles, HRESULT* errors) = 0;
    // The OPC 1.0 completions to one advise connection: S_OK, S_FALSE when it went
    // meanwhile, or OLE_E_NOCONNECTION when it is not a connection of the right kind.
    virtual HRESULT SendReadCompletion(DWORD connection, DWORD transactionId, DWORD count,
                                       const ItemValues& values) = 0;
    virtual HRESULT SendWriteCompletion(DWORD connection, DWORD transactionId, DWORD count,
                                        const OPCHANDLE* clientHandles, const HRESULT* errors) = 0;

protected:
    ~ITransactionGroup() = default;
};

class CTransaction {
public:
    CTransaction(DWORD transactionId, ITransactionGroup* group);
    virtual ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    // Runs the request and sends its completion; on the asynchronous I/O thread.
    virtual void Execute() = 0;
    // A cancelled transaction is destroyed without any callback.
    virtual HRESULT OnCancel() { return S_OK; }

    DWORD TransactionId() const noexcept { return m_transactionId; }

protected:
    ITransactionGroup& Group() const noexcept { return *m_group; }

private:
    DWORD m_transactionId;
    ITransactionGroup* m_group;
};

// OPC 1.0: the completion goes to one of the group's advise connections.
class CAsyncTransaction : public CTransaction {
public:
    CAsyncTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection)
        : CTransaction(transactionId, group), m_connection(connection)
    {
    }

protected:
    DWORD m_connection;
};

class CReadTransaction final : public CAsyncTransaction {
public:
    CReadTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection, OPCDATASOURCE source,
                     std::vector<OPCHANDLE> handles);
    void Execute() override;

private:
    OPCDATASOURCE m_source;
    std::vector<OPCHANDLE> m_handles;
};

class CWriteTransaction final : public CAsyncTransaction {
public:
    CWriteTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection, std::vector<OPCHANDLE> handles,
                      const VARIANT* values);
    void Execute() override;

private:
    std::vector<OPCHANDLE> m_handles;
    orv::com::VariantArray m_values;  // copies of the client's values
};

class CRefreshTransaction final : public CAsyncTransaction {
public:
    CRefreshTransaction(DWORD transactionId, ITransactionGroup* group, DWORD connection, OPCDATASOURCE source)
        : CAsyncTransaction(transactionId, group, connection), m_source(source)
    {
    }
    void Execute() override;

private:
    OPCDATASOURCE m_source;
};

// OPC 2.0: the completion goes to the group's data callback with the client's own ID.
class CAsync2Transaction : public CTransaction {
public:
    CAsync2Transaction(DWORD transactionId, ITransactionGroup* group, DWORD clientTransactionId)
        : CTransaction(transactionId, group), m_clientTransactionId(clientTransactionId)
    {
    }

protected:
    DWORD m_clientTransactionId;
};

class CRead2Transaction final : public CAsync2Transaction {
public:
    CRead2Transaction(DWORD transactionId, ITransactionGroup* group, DWORD clientTransactionId,
                      std::vector<OPCHANDLE> handles)
        : CAsync2Transaction(transactionId, group, clientTransactionId), m_handles(std::move(handles))
    {
    }
    void Execute() override;

private:
    std::vector<OPCHANDLE> m_handles;
};

class CWrite2Transaction final : public CAsync2Transaction {
public:
    CWrite2Transaction(DWORD transactionId, ITransactionGroup* group, DWORD clientTransactionId,
                       std::vector<OPCHANDLE> handles, const VARIANT* values);
    void Execute() override;

private:
    std::vector<OPCHANDLE> m_handles;
    orv::com::VariantArray m_values;  // copies of the client's values
};

class CRefresh2Transaction final : public CAsync2Transaction {
public:
    CRefresh2Transaction(DWORD transactionId, ITransactionGroup* group, DWORD clientTransactionId,
                         OPCDATASOURCE source)
        : CAsync2Transaction(transactionId, group, clientTransactionId), m_source(source)
    {
    }
    void Execute() override;

private:
    OPCDATASOURCE m_source;
};

}  // namespace twopc::io
