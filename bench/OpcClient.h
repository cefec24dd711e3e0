#pragma once
// The server as an OPC client sees it: created from its ProgID in the multithreaded
// apartment, with groups whose items are the simulator's bench points. Failures throw
// std::runtime_error naming the call and its HRESULT.

#include "orv/com/ComPtr.h"

#include <opcda.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using orv::com::ComPtr;

// Throws when hr is a failure code; `what` names the call.
void Check(HRESULT hr, const char* what);

// Where OpcClient creates the server: in this process (the default), or in the local
// server host, twopcsrv.exe, a process of its own that COM starts for the first client.
void UseLocalServer(bool local) noexcept;
bool UsesLocalServer() noexcept;
inline constexpr char kLocalServerExecutable[] = "twopcsrv.exe";

// The item ID of bench point i, as a client names it: \\.\bench\p<i>.
std::wstring BenchItemId(std::size_t index);

class OpcGroup {
public:
    OpcGroup(ComPtr<IOPCItemMgt> items, OPCHANDLE serverHandle);

    // Adds bench points first .. first+count-1, with client handle = point index. Throws
    // unless every item was added. Returns the server handles in the same order.
    const std::vector<OPCHANDLE>& AddBenchItems(std::size_t first, std::size_t count, BOOL active = TRUE);
    // Adds the items in one call, with client handles firstHandle, firstHandle+1, ...; as
    // AddBenchItems otherwise.
    const std::vector<OPCHANDLE>& AddItems(const std::vector<std::wstring>& ids, std::size_t firstHandle,
                                           BOOL active = TRUE);
    // Advises the sink through the group's connection point container.
    void Advise(IOPCDataCallback* sink);
    void Unadvise();
    // IOPCSyncIO::Read of every item of the group from the given source; returns the
    // number of items that came back with S_OK and good quality.
    std::size_t ReadAll(OPCDATASOURCE source);
    // IOPCAsyncIO2::Read of every item of the group; the completion goes to the advised sink.
    void Read2All(DWORD transactionId);

    OPCHANDLE ServerHandle() const noexcept { return serverHandle_; }
    const std::vector<OPCHANDLE>& ItemHandles() const noexcept { return itemHandles_; }

private:
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> syncIO_;
    ComPtr<IOPCAsyncIO2> asyncIO2_;
    ComPtr<IConnectionPoint> dataCallbackPoint_;
    DWORD adviseCookie_ = 0;
    OPCHANDLE serverHandle_;
    std::vector<OPCHANDLE> itemHandles_;
};

// One server instance and its groups. Destruction unadvises and removes every group
// (without force), then releases the server.
class OpcClient {
public:
    OpcClient();
    ~OpcClient();
    OpcClient(const OpcClient&) = delete;
    OpcClient& operator=(const OpcClient&) = delete;

    OpcGroup& AddGroup(OPCHANDLE clientHandle, BOOL active, DWORD updateRateMs);
    // Unadvises and removes every group; the items go with them.
    void RemoveGroups();
    IOPCServer* Server() const noexcept { return server_.Get(); }

private:
    ComPtr<IOPCServer> server_;
    std::vector<std::unique_ptr<OpcGroup>> groups_;
};

}  // namespace bench
