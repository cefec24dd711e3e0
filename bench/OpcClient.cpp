#include "OpcClient.h"

#include "orv/com/Owners.h"

#include <cstdio>
#include <stdexcept>

namespace bench {
namespace {

constexpr wchar_t kProgId[] = L"Orvane.TarnwellOPCServer";
bool g_localServer = false;

}  // namespace

void Check(HRESULT hr, const char* what)
{
    if (SUCCEEDED(hr)) return;
    char text[160];
    std::snprintf(text, sizeof(text), "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
    throw std::runtime_error(text);
}

void UseLocalServer(bool local) noexcept
{
    g_localServer = local;
}

bool UsesLocalServer() noexcept
{
    return g_localServer;
}

std::wstring BenchItemId(std::size_t index)
{
    return L"\\\\.\\bench\\p" + std::to_wstring(index);
}

OpcGroup::OpcGroup(ComPtr<IOPCItemMgt> items, OPCHANDLE serverHandle)
    : items_(std::move(items)), serverHandle_(serverHandle)
{
    Check(items_.As(syncIO_), "QueryInterface(IOPCSyncIO)");
}

const std::vector<OPCHANDLE>& OpcGroup::AddBenchItems(std::size_t first, std::size_t count, BOOL active)
{
    std::vector<std::wstring> ids;
    ids.reserve(count);
    for (std::size_t i = 0; i < count; ++i) ids.push_back(BenchItemId(first + i));
    return AddItems(ids, first, active);
}

const std::vector<OPCHANDLE>& OpcGroup::AddItems(const std::vector<std::wstring>& ids, std::size_t firstHandle,
                                                 BOOL active)
{
    const std::size_t count = ids.size();
    std::vector<OPCITEMDEF> definitions(count);
    for (std::size_t i = 0; i < count; ++i) {
        OPCITEMDEF& definition = definitions[i];
        definition.szAccessPath = const_cast<LPWSTR>(L"");
        definition.szItemID = const_cast<LPWSTR>(ids[i].c_str());
        definition.bActive = active;
        definition.hClient = static_cast<OPCHANDLE>(firstHandle + i);
        definition.vtRequestedDataType = VT_EMPTY;
    }
    orv::com::CoTaskArray<OPCITEMRESULT> results;
    orv::com::CoTaskArray<HRESULT> errors;
    const HRESULT hr = items_->AddItems(static_cast<DWORD>(count), definitions.data(), results.Put(), errors.Put());
    std::size_t failed = 0;
    for (std::size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        if (FAILED(errors[i])) {
            ++failed;
            continue;
        }
        itemHandles_.push_back(results[i].hServer);
    }
    Check(hr, "AddItems");
    if (failed) {
        throw std::runtime_error("AddItems refused " + std::to_string(failed) + " of " + std::to_string(count) +
                                 " items");
    }
    return itemHandles_;
}

void OpcGroup::Advise(IOPCDataCallback* sink)
{
    ComPtr<IConnectionPointContainer> container;
    Check(items_.As(container), "QueryInterface(IConnectionPointContainer)");
    Check(container->FindConnectionPoint(IID_IOPCDataCallback, dataCallbackPoint_.Put()), "FindConnectionPoint");
    Check(dataCallbackPoint_->Advise(sink, &adviseCookie_), "IConnectionPoint::Advise");
}

void OpcGroup::Unadvise()
{
    if (!dataCallbackPoint_) return;
    dataCallbackPoint_->Unadvise(adviseCookie_);
    dataCallbackPoint_.Reset();
}

std::size_t OpcGroup::ReadAll(OPCDATASOURCE source)
{
    const DWORD count = static_cast<DWORD>(itemHandles_.size());
    orv::com::CoTaskArray<OPCITEMSTATE> states;
    orv::com::CoTaskArray<HRESULT> errors;
    const HRESULT hr = syncIO_->Read(source, count, itemHandles_.data(), states.Put(), errors.Put());
    Check(hr, "IOPCSyncIO::Read");
    std::size_t good = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (errors[i] == S_OK && states[i].wQuality == OPC_QUALITY_GOOD) ++good;
        VariantClear(&states[i].vDataValue);
    }
    return good;
}

void OpcGroup::Read2All(DWORD transactionId)
{
    if (!asyncIO2_) Check(items_.As(asyncIO2_), "QueryInterface(IOPCAsyncIO2)");
    DWORD cancelId = 0;
    orv::com::CoTaskArray<HRESULT> errors;
    const HRESULT hr = asyncIO2_->Read(static_cast<DWORD>(itemHandles_.size()), itemHandles_.data(), transactionId,
                                       &cancelId, errors.Put());
    Check(hr, "IOPCAsyncIO2::Read");
}

OpcClient::OpcClient()
{
    CLSID clsid;
    Check(CLSIDFromProgID(kProgId, &clsid), "CLSIDFromProgID(Orvane.TarnwellOPCServer)");
    Check(CoCreateInstance(clsid, nullptr, g_localServer ? CLSCTX_LOCAL_SERVER : CLSCTX_INPROC_SERVER, IID_IOPCServer,
                           server_.PutVoid()),
          "CoCreateInstance");
}

OpcClient::~OpcClient()
{
    RemoveGroups();
}

OpcGroup& OpcClient::AddGroup(OPCHANDLE clientHandle, BOOL active, DWORD updateRateMs)
{
    OPCHANDLE serverHandle = 0;
    DWORD revisedRate = 0;
    ComPtr<IOPCItemMgt> items;
    const std::wstring name = L"bench" + std::to_wstring(clientHandle);
    Check(server_->AddGroup(name.c_str(), active, updateRateMs, clientHandle, nullptr, nullptr, 0, &serverHandle,
                            &revisedRate, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.Put())),
          "AddGroup");
    groups_.push_back(std::make_unique<OpcGroup>(std::move(items), serverHandle));
    return *groups_.back();
}

void OpcClient::RemoveGroups()
{
    for (const std::unique_ptr<OpcGroup>& group : groups_) group->Unadvise();
    std::vector<OPCHANDLE> handles;
    for (const std::unique_ptr<OpcGroup>& group : groups_) handles.push_back(group->ServerHandle());
    groups_.clear();  // our references first, so that removal takes the groups down at once
    for (const OPCHANDLE handle : handles) server_->RemoveGroup(handle, FALSE);
}

}  // namespace bench
