// browse: the address space through IOPCBrowseServerAddressSpace, as a tree walked with
// ChangeBrowsePosition down and up again, or as the flat list of full item IDs.

#include "Commands.h"
#include "Json.h"
#include "Report.h"
#include "Values.h"

#include <algorithm>

namespace opcq {
namespace {

// Deeper than any real address space; it stops a server whose branches loop.
constexpr int kMaxDepth = 64;

struct BrowseEntry {
    std::wstring name;
    std::wstring itemId;  // leaves only
    bool branch = false;
    HRESULT error = S_OK;  // a branch that could not be entered
    std::wstring errorText;
    std::vector<BrowseEntry> children;
};

class AddressSpaceWalk {
public:
    AddressSpaceWalk(const OpcServer& server, IOPCBrowseServerAddressSpace& browse, const BrowseArgs& args)
        : m_server(server), m_browse(browse), m_args(args)
    {
    }

    std::vector<std::wstring> Names(OPCBROWSETYPE kind, const std::wstring& filter, VARTYPE type, DWORD rights)
    {
        ComPtr<IEnumString> names;
        HRESULT hr = m_browse.BrowseOPCItemIDs(kind, filter.c_str(), type, rights, names.Put());
        m_server.Check(hr, L"BrowseOPCItemIDs");
        std::vector<std::wstring> listed;
        // S_FALSE says the list is empty; some servers then hand out no enumerator, or one
        // whose Next fails.
        if (hr == S_FALSE || !names) return listed;
        constexpr ULONG kBatch = 64;
        for (;;) {
            LPOLESTR batch[kBatch] = {};
            ULONG fetched = 0;
            hr = names->Next(kBatch, batch, &fetched);
            // Owned before anything else can fail.
            std::vector<CoTaskArray<wchar_t>> owned(std::min(fetched, kBatch));
            for (std::size_t i = 0; i < owned.size(); ++i) *owned[i].Put() = batch[i];
            for (const CoTaskArray<wchar_t>& name : owned) listed.emplace_back(name ? name.Get() : L"");
            if (hr != S_OK || fetched == 0) break;
        }
        m_server.Check(hr, L"IEnumString::Next");
        return listed;
    }

    // The full item ID for a name listed at the current position; the name itself when
    // the server cannot say.
    std::wstring ItemId(const std::wstring& name)
    {
        CoTaskArray<wchar_t> itemId;
        if (SUCCEEDED(m_browse.GetItemID(const_cast<LPWSTR>(name.c_str()), itemId.Put())) && itemId)
            return itemId.Get();
        return name;
    }

    std::vector<BrowseEntry> Level(int depth)
    {
        std::vector<BrowseEntry> entries;
        if (depth > kMaxDepth) return entries;
        for (const std::wstring& name : Names(OPC_BRANCH, L"", VT_EMPTY, 0)) {
            BrowseEntry branch;
            branch.name = name;
            branch.branch = true;
            branch.error = m_browse.ChangeBrowsePosition(OPC_BROWSE_DOWN, name.c_str());
            if (SUCCEEDED(branch.error)) {
                branch.children = Level(depth + 1);
                m_server.Check(m_browse.ChangeBrowsePosition(OPC_BROWSE_UP, L""),
                               L"cannot go back up from \"" + name + L"\"");
            } else {
                branch.errorText = m_server.ErrorText(branch.error);
            }
            // With a filter, branches without a match below them are left out.
            if (!Filtering() || !branch.children.empty() || FAILED(branch.error)) entries.push_back(std::move(branch));
        }
        for (const std::wstring& name : Names(OPC_LEAF, m_args.filter, m_args.dataType, m_args.accessRights)) {
            BrowseEntry leaf;
            leaf.name = name;
            leaf.itemId = ItemId(name);
            entries.push_back(std::move(leaf));
        }
        return entries;
    }

    std::vector<std::wstring> Flat()
    {
        std::vector<std::wstring> itemIds;
        for (const std::wstring& name : Names(OPC_FLAT, m_args.filter, m_args.dataType, m_args.accessRights))
            itemIds.push_back(ItemId(name));
        return itemIds;
    }

private:
    bool Filtering() const { return !m_args.filter.empty() || m_args.dataType != VT_EMPTY || m_args.accessRights != 0; }

    const OpcServer& m_server;
    IOPCBrowseServerAddressSpace& m_browse;
    const BrowseArgs& m_args;
};

void PrintTree(OutputStream& out, const std::vector<BrowseEntry>& entries, const std::wstring& indent)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const BrowseEntry& entry = entries[i];
        const bool last = i + 1 == entries.size();
        std::wstring line = indent + (last ? L"`-- " : L"|-- ") + entry.name;
        if (!entry.branch) line += L"  (" + entry.itemId + L")";
        if (FAILED(entry.error)) line += L"  [cannot enter: " + CodeWithText(entry.error, entry.errorText) + L"]";
        out.Line(line);
        if (entry.branch) PrintTree(out, entry.children, indent + (last ? L"    " : L"|   "));
    }
}

void WriteTreeJson(JsonWriter& json, const std::vector<BrowseEntry>& entries)
{
    json.BeginArray();
    for (const BrowseEntry& entry : entries) {
        json.BeginObject();
        json.Key(L"name").String(entry.name);
        if (entry.branch) {
            if (FAILED(entry.error)) JsonErrorMember(json, entry.error, entry.errorText);
            json.Key(L"children");
            WriteTreeJson(json, entry.children);
        } else {
            json.Key(L"itemId").String(entry.itemId);
        }
        json.EndObject();
    }
    json.EndArray();
}

bool AnyBranchFailed(const std::vector<BrowseEntry>& entries)
{
    for (const BrowseEntry& entry : entries)
        if (FAILED(entry.error) || AnyBranchFailed(entry.children)) return true;
    return false;
}

}  // namespace

int RunBrowse(const OpcServer& server, const BrowseArgs& args, const CommandOutput& output)
{
    ComPtr<IOPCBrowseServerAddressSpace> browse =
        server.Interface<IOPCBrowseServerAddressSpace>(L"IOPCBrowseServerAddressSpace");
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    server.Check(browse->QueryOrganization(&organization), L"QueryOrganization");
    if (args.path)
        server.Check(browse->ChangeBrowsePosition(OPC_BROWSE_TO, args.path->c_str()),
                     L"cannot browse to \"" + *args.path + L"\"");

    AddressSpaceWalk walk(server, *browse.Get(), args);
    const std::wstring start = args.path ? *args.path : L"";
    // A flat address space has no branches to walk: its list is the whole answer.
    if (args.flat || organization == OPC_NS_FLAT) {
        const std::vector<std::wstring> itemIds = walk.Flat();
        if (output.json) {
            JsonWriter json;
            json.BeginObject().Key(L"path").String(start).Key(L"items").BeginArray();
            for (const std::wstring& itemId : itemIds) json.String(itemId);
            json.EndArray().EndObject();
            output.out.Line(json.Text());
        } else {
            for (const std::wstring& itemId : itemIds) output.out.Line(itemId);
        }
        return kExitOk;
    }

    const std::vector<BrowseEntry> tree = walk.Level(0);
    if (output.json) {
        JsonWriter json;
        json.BeginObject().Key(L"path").String(start).Key(L"children");
        WriteTreeJson(json, tree);
        json.EndObject();
        output.out.Line(json.Text());
    } else {
        output.out.Line(start.empty() ? L"(root)" : start);
        PrintTree(output.out, tree, L"");
    }
    return AnyBranchFailed(tree) ? kExitFailed : kExitOk;
}

}  // namespace opcq
