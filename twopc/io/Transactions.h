#pragma once
// Asynchronous requests waiting for the asynchronous I/O thread. Each holds a pending use
// of its group, which keeps the group alive and makes its removal wait for the
// transaction; destroying the transaction gives it back. Made only under the group lock
// of a group that is not removed.

#include "orv/com/ComPtr.h"
#include "orv/com/Owners.h"
#include "twopc/group/OPCGroup.h"

#include <vector>

namespace twopc::io {

class CTransaction {
public:
    CTransaction(DWORD transactionId, group::COPCGroup* group);
    virtual ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    // Runs the request and sends its completion; on the asynchronous I/O thread.
    virtual void Execute() = 0;
    // A cancelled transaction is destroyed without any callback.
    virtual HRESULT OnCancel() { return S_OK; }

    DWORD TransactionId() const noexcept { return m_transactionId; }

protected:
    group::COPCGroup& Group() const noexcept { return *m_group; }

private:
    DWORD m_transactionId;
    group::COPCGroup* m_group;
};

// OPC 1.0: the completion goes to one of the group's advise connections.
class CAsyncTransaction : public CTransaction {
public:
    CAsyncTransaction(DWORD transactionId, group::COPCGroup* group, DWORD connection)
        : CTransaction(transactionId, group), m_connection(connection)
    {
    }

protected:
    DWORD m_connection;
};

class CReadTransaction final : public CAsyncTransaction {
public:
    CReadTransaction(DWORD transactionId, group::COPCGroup* group, DWORD connection, OPCDATASOURCE source,
                     std::vector<OPCHANDLE> handles);
    void Execute() override;

private:
    OPCDATASOURCE m_source;
    std::vector<OPCHANDLE> m_handles;
};

// Copies of the client's values, cleared on destruction.
class ValueCopies {
public:
    // Throws the failure of a copy.
    ValueCopies(const VARIANT* values, std::size_t count);
    ~ValueCopies();
    ValueCopies(const ValueCopies&) = delete;
    ValueCopies& operator=(const ValueCopies&) = delete;
    const VARIANT* Data() const noexcept { return m_values.data(); }

private:
    std::vector<VARIANT> m_values;
};

class CWriteTransaction final : public CAsyncTransaction {
public:
    CWriteTransaction(DWORD transactionId, group::COPCGroup* group, DWORD connection, std::vector<OPCHANDLE> handles,
                      const VARIANT* values);
    void Execute() override;

private:
    std::vector<OPCHANDLE> m_handles;
    ValueCopies m_values;
};

class CRefreshTransaction final : public CAsyncTransaction {
public:
    CRefreshTransaction(DWORD transactionId, group::COPCGroup* group, DWORD connection, OPCDATASOURCE source)
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
    CAsync2Transaction(DWORD transactionId, group::COPCGroup* group, DWORD clientTransactionId)
        : CTransaction(transactionId, group), m_clientTransactionId(clientTransactionId)
    {
    }

protected:
    DWORD m_clientTransactionId;
};

class CRead2Transaction final : public CAsync2Transaction {
public:
    CRead2Transaction(DWORD transactionId, group::COPCGroup* group, DWORD clientTransactionId,
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
    CWrite2Transaction(DWORD transactionId, group::COPCGroup* group, DWORD clientTransactionId,
                       std::vector<OPCHANDLE> handles, const VARIANT* values);
    void Execute() override;

private:
    std::vector<OPCHANDLE> m_handles;
    ValueCopies m_values;
};

class CRefresh2Transaction final : public CAsync2Transaction {
public:
    CRefresh2Transaction(DWORD transactionId, group::COPCGroup* group, DWORD clientTransactionId,
                         OPCDATASOURCE source)
        : CAsync2Transaction(transactionId, group, clientTransactionId), m_source(source)
    {
    }
    void Execute() override;

private:
    OPCDATASOURCE m_source;
};

}  // namespace twopc::io
