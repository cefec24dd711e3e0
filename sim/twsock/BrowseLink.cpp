// The browse interface: one listing at a time, taken from the network by Open and handed
// out entry by entry by Next, each entry with the child's item ID as its second name. Calls
// from several threads are serialised, not interleaved sensibly: two callers walking at once
// share the one cursor. A failure set by SimFailBrowse is taken along with the listing, so
// that a listing fails as its Open found the path, whatever a test changes meanwhile.

#include "Link.h"
#include "NetworkBridge.h"

#include "orv/com/Owners.h"

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {
namespace {

// A BSTR copy of the text, null when there is no memory for it.
orv::com::UniqueBstr BstrOf(const std::wstring& text) noexcept
{
    return orv::com::UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

class BrowseLink final : public Link<BrowseLink, kelvane::IKelvaneBrowser, kelvane::IKelvaneBrowserReceiver,
                                     SIM_LINK_BROWSER> {
public:
    explicit BrowseLink(kelvane::IKelvaneBrowserReceiver* receiver) : Link(receiver) {}

    // IKelvaneBrowser
    HRESULT STDMETHODCALLTYPE Open(const wchar_t* path) override
    {
        if (!path) return E_INVALIDARG;
        return Guarded([&]() -> HRESULT {
            Network& network = Network::Instance();
            network.Count(&SimCounters::browseOpens, +1);
            const std::optional<BrowseFailure> failure = network.BrowseFailureFor(path);
            if (failure && failure->afterEntries == SIM_BROWSE_AT_OPEN) {
                network.Count(&SimCounters::browseFailuresMade, +1);
                return failure->failure;
            }
            std::vector<Child> children;
            if (const HRESULT hr = network.ListChildren(path, children); FAILED(hr)) return hr;
            std::scoped_lock lock(mutex_);
            listing_.swap(children);
            cursor_ = 0;
            failure_ = failure.value_or(BrowseFailure{});
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Close() override
    {
        std::scoped_lock lock(mutex_);
        listing_.clear();
        cursor_ = 0;
        failure_ = {};
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Next(std::uint32_t wantedFields, kelvane::BrowseEntry* entry) override
    {
        if (!entry) return E_POINTER;
        std::scoped_lock lock(mutex_);
        if (FAILED(failure_.failure) && cursor_ >= failure_.afterEntries) {
            Network::Instance().Count(&SimCounters::browseFailuresMade, +1);
            return failure_.failure;
        }
        if (cursor_ >= listing_.size()) return kelvane::KELVANE_E_ENDOFLIST;
        const Child& child = listing_[cursor_];

        kelvane::BrowseEntry filled{};
        orv::com::UniqueBstr name;
        orv::com::UniqueBstr itemId = BstrOf(child.itemId);
        if (!itemId.Get()) return E_OUTOFMEMORY;
        filled.mask |= kelvane::bfItemId;
        if (wantedFields & kelvane::bfName) {
            name = BstrOf(child.name);
            if (!name.Get()) return E_OUTOFMEMORY;
            filled.mask |= kelvane::bfName;
        }
        if (wantedFields & kelvane::bfDelimiter) {
            filled.delimiter = static_cast<std::uint16_t>(child.delimiter);
            filled.mask |= kelvane::bfDelimiter;
        }
        if (wantedFields & kelvane::bfLeaf) {
            filled.flags = child.leaf ? 1 : 0;
            filled.mask |= kelvane::bfLeaf;
        }
        if (wantedFields & kelvane::bfType) {
            filled.type = child.type;
            filled.mask |= kelvane::bfType;
        }
        if (wantedFields & kelvane::bfAccess) {
            filled.access = child.access;
            filled.mask |= kelvane::bfAccess;
        }
        filled.name = name.Detach();
        filled.secondName = itemId.Detach();
        *entry = filled;
        ++cursor_;
        return S_OK;
    }

private:
    std::mutex mutex_;
    std::vector<Child> listing_;
    std::size_t cursor_ = 0;
    BrowseFailure failure_;  // none while its failure is S_OK
};

}  // namespace
}  // namespace sim

extern "C" unsigned char WINAPI SimNetOpenBrowser(void* /*reserved*/, kelvane::IKelvaneBrowserReceiver* receiver,
                                                  kelvane::IKelvaneBrowser** browser)
{
    return sim::BrowseLink::Create(receiver, browser);
}
