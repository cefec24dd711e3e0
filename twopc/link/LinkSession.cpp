#include "twopc/link/LinkSession.h"

#include "orv/com/CriticalSection.h"
#include "orv/com/Owners.h"
#include "twopc/link/LinkLibraries.h"

namespace twopc::link {
namespace {

struct Session {
    orv::com::CCriticalSection lock;
    orv::com::ComPtr<IKelvaneRealTime> realtime;
    orv::com::ComPtr<IKelvaneBrowser> browser;
    // The computer's name cannot change while the process runs, and asking for it costs
    // several registry round trips: it is asked once, when first needed.
    std::wstring hostName;
};

// Never destroyed: items may still be released after the library began to unload.
Session& TheSession()
{
    static Session* session = new Session();
    return *session;
}

}  // namespace

void PublishLink(orv::com::ComPtr<IKelvaneRealTime> realtime, orv::com::ComPtr<IKelvaneBrowser> browser)
{
    Session& session = TheSession();
    orv::com::CSingleLock hold(session.lock);
    session.realtime = std::move(realtime);
    session.browser = std::move(browser);
}

void WithdrawLink()
{
    orv::com::ComPtr<IKelvaneRealTime> realtime;
    orv::com::ComPtr<IKelvaneBrowser> browser;
    Session& session = TheSession();
    orv::com::CSingleLock hold(session.lock);
    realtime.Swap(session.realtime);
    browser.Swap(session.browser);
}

orv::com::ComPtr<IKelvaneRealTime> CurrentRealtime()
{
    Session& session = TheSession();
    orv::com::CSingleLock hold(session.lock);
    return session.realtime;
}

orv::com::ComPtr<IKelvaneBrowser> CurrentBrowser()
{
    Session& session = TheSession();
    orv::com::CSingleLock hold(session.lock);
    return session.browser;
}

std::wstring HostMachineName()
{
    Session& session = TheSession();
    {
        orv::com::CSingleLock hold(session.lock);
        if (!session.hostName.empty()) return session.hostName;
    }
    auto getHostMachineName = Link().getHostMachineName;
    if (!getHostMachineName) return {};
    orv::com::UniqueBstr host;
    if (FAILED(getHostMachineName(host.Put())) || !host.Get()) return {};
    std::wstring name = host.Get();
    orv::com::CSingleLock hold(session.lock);
    session.hostName = name;
    return name;
}

std::wstring NetworkPathOf(const std::wstring& itemId)
{
    if (itemId.compare(0, 4, L"\\\\.\\") != 0) return itemId;
    return L"\\\\" + HostMachineName() + itemId.substr(3);
}

}  // namespace twopc::link
