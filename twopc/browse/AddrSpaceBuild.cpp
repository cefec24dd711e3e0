// Building the address space: the root and the configured roots from the registry.

#include "twopc/browse/AddrSpace.h"

#include "orv/com/Owners.h"
#include "orv/hmx/osdep/WideToAnsi.h"

#include <opcda.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twopc::browse {
namespace {

constexpr char kRootsValueName[] = "Kelvane Root URLs";
constexpr DWORD kReadWrite = OPC_READABLE | OPC_WRITEABLE;

struct RootPair {
    std::string name;
    std::optional<std::string> idComponent;
};

// Takes the next token up to (not including) a separator: separators in front of it are
// stepped over first, so no token is empty, and the one that ends it is consumed. Empty
// when only separators are left.
std::optional<std::string_view> NextToken(std::string_view& text, char separator)
{
    const std::size_t start = text.find_first_not_of(separator);
    if (start == std::string_view::npos) {
        text = {};
        return std::nullopt;
    }
    text.remove_prefix(start);
    const std::size_t end = text.find(separator);
    const std::string_view token = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return token;
}

// "name=id,name=id,...": names end at "=", ID components at ",". A name at the very end
// with no ID after it still makes a root, one without ID component.
std::vector<RootPair> ParseRootPairs(std::string_view text)
{
    std::vector<RootPair> pairs;
    for (;;) {
        const std::optional<std::string_view> name = NextToken(text, '=');
        if (!name) break;
        const std::optional<std::string_view> id = NextToken(text, ',');
        pairs.push_back({std::string(*name), id ? std::optional<std::string>(*id) : std::nullopt});
    }
    return pairs;
}

// The registry text is in the thread's ANSI code page; text that does not convert gives "".
std::wstring FromThreadAnsi(std::string_view text)
{
    if (text.empty()) return {};
    const int narrowLength = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    const int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, wide.data(), wideLength);
    if (written <= 0) return {};
    wide.resize(static_cast<std::size_t>(written));
    return wide;
}

std::unique_ptr<CAddrNode> MakeRoot(std::wstring browseName, CAddrNode::Text idComponent)
{
    return std::make_unique<CAddrNode>(std::wstring(), std::move(browseName), std::move(idComponent), kReadWrite,
                                       VT_EMPTY, true);
}

// Opens the first key of the path and creates (or opens) the rest below it, closing each
// parent once its child is open. Null when any step fails.
orv::com::UniqueRegKey OpenRootsKey(const RootsKeyPath& where, bool& newlyCreated)
{
    newlyCreated = false;
    orv::com::UniqueRegKey key;
    if (where.keys.empty() ||
        RegOpenKeyExA(where.hive, where.keys.front().c_str(), 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS) {
        return orv::com::UniqueRegKey();
    }
    for (std::size_t i = 1; i < where.keys.size(); ++i) {
        HKEY child = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(key.Get(), where.keys[i].c_str(), 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &child, &disposition) != ERROR_SUCCESS) {
            return orv::com::UniqueRegKey();
        }
        *key.Put() = child;
        newlyCreated = disposition == REG_CREATED_NEW_KEY;
    }
    return key;
}

// "<host>=\\.,Network=\": the local computer and the whole network. Without a host
// name (twsock missing, or a name the code page cannot carry) the local root is called
// "localhost": an empty name would run the first two tokens together.
void WriteDefaultRoots(HKEY key, const std::wstring& hostName)
{
    std::string text;
    try {
        const orv::hmx::TaskString narrowHost =
            orv::hmx::osdep::WideToAnsi(hostName.data(), hostName.data() + hostName.size());
        text.assign(narrowHost.View());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        text.clear();
    }
    if (text.empty()) text = "localhost";
    text += "=\\\\.,Network=\\";
    RegSetValueExA(key, kRootsValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
}

// Empty when the value is missing, is not REG_SZ or cannot be read.
std::optional<std::string> ReadRootsText(HKEY key)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, kRootsValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    // One more than asked for: a stored string need not carry its terminator.
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    if (RegQueryValueExA(key, kRootsValueName, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

}  // namespace

RootsKeyPath RootsKeyPath::Default()
{
    return RootsKeyPath{HKEY_LOCAL_MACHINE, {"Software", "Orvane", "OPC Kelvane Interface", "1.2"}};
}

std::unique_ptr<CAddrSpace> CAddrSpace::Build(BrowseSource source, const RootsKeyPath& rootsKey)
{
    auto space = std::make_unique<CAddrSpace>(std::move(source));

    std::optional<std::string> text;
    {
        bool newlyCreated = false;
        const orv::com::UniqueRegKey key = OpenRootsKey(rootsKey, newlyCreated);
        if (key.Get()) {
            if (newlyCreated) {
                WriteDefaultRoots(key.Get(), space->m_source.hostName ? space->m_source.hostName() : std::wstring());
            }
            text = ReadRootsText(key.Get());
        }
    }

    CAddrNode& root = space->Root();
    if (!text) {
        root.AppendChild(MakeRoot(L"Network", L"\\\\"));
        return space;
    }
    for (const RootPair& pair : ParseRootPairs(*text)) {
        root.AppendChild(MakeRoot(FromThreadAnsi(pair.name),
                                  pair.idComponent ? CAddrNode::Text(FromThreadAnsi(*pair.idComponent)) : std::nullopt));
    }
    return space;
}

}  // namespace twopc::browse
