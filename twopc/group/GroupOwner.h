#pragma once
// What a group sees of the server that owns it. The server outlives every call that
// reaches it through this interface: a group stops calling its owner once it has been
// removed, and the server removes all its groups before it goes.

#include <opcda.h>

#include <string>

namespace twopc::group {

class COPCGroup;

class CGroupOwner {
public:
    // Moves `group` from `oldName` (empty when it has none yet) to `newName` in the
    // server's name map, under the group-map lock. OPC_E_DUPLICATENAME when `newName`
    // is taken, including by the group itself.
    virtual HRESULT RenameGroup(COPCGroup* group, const std::wstring& oldName, const std::wstring& newName) = 0;

    // A fresh "$Group_...$" name from the shared number space.
    virtual std::wstring GenerateGroupName() = 0;

    // A data-change notification reached a client: the server's last update time.
    // Called without the group lock; must not wait for the server lock.
    virtual void NoteDataDelivered() = 0;

    // The server's own IOPCServer, for CloneGroup; no reference is added.
    virtual IOPCServer* Server() = 0;

protected:
    ~CGroupOwner() = default;
};

}  // namespace twopc::group
