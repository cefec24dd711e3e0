#include "twopc/server/ServerProcess.h"

#include "orv/com/ComPtr.h"
#include "orv/com/CriticalSection.h"
#include "orv/hmx/Trace.h"
#include "twopc/browse/ProcessAddressSpace.h"
#include "twopc/link/LinkLibraries.h"
#include "twopc/link/LinkSession.h"

namespace twopc::server {
namespace {

struct ProcessState {
    orv::com::CCriticalSection startupLock;
    unsigned instanceCount = 0;
    orv::com::ComPtr<link::IKelvaneOEM> oem;
    orv::com::ComPtr<link::OPCKelvaneClient> realtimeClient;
    orv::com::ComPtr<link::OPCKelvaneBrowser> browseClient;
};

// Created on first use and never destroyed: a server still alive at library unload
// must not find its process state gone.
ProcessState& State()
{
    static ProcessState* state = new ProcessState();
    return *state;
}

// Creates a receiver and lets the link fill its interface. A receiver whose link failed
// stays in place without an interface.
template <class Receiver, class Factory>
orv::com::ComPtr<Receiver> StartReceiver(Factory factory, const char* failureTrace)
{
    orv::com::ComPtr<Receiver> receiver(new Receiver());
    bool opened = factory && factory(nullptr, receiver.Get(), receiver->linkInterface.Put()) != 0;
    if (!opened) {
        orv::hmx::Trace("%s", failureTrace);
        receiver->linkInterface.Reset();
    }
    return receiver;
}

template <class Receiver>
void StopReceiver(orv::com::ComPtr<Receiver>& receiver)
{
    if (!receiver) return;
    receiver->linkInterface.Reset();
    receiver.Reset();
}

void StartProcess(ProcessState& state)
{
    // The tree survives the last instance: later first instances find it built.
    browse::BuildAddressSpace();
    const link::LinkExports& exports = link::Link();
    state.oem = orv::com::ComPtr<link::IKelvaneOEM>::Adopt(exports.getIKelvaneOEM ? exports.getIKelvaneOEM() : nullptr);
    if (state.oem) state.oem->SetClientKind(L"OPC");
    state.realtimeClient = StartReceiver<link::OPCKelvaneClient>(
        exports.newKelvaneRealTime, "Failed to get a KelvaneRealTime interface\n");
    state.browseClient = StartReceiver<link::OPCKelvaneBrowser>(
        exports.newKelvaneBrowser, "Failed to get a KelvaneBrowser interface\n");
    link::PublishLink(state.realtimeClient->linkInterface, state.browseClient->linkInterface);
}

void StopProcess(ProcessState& state)
{
    link::WithdrawLink();
    StopReceiver(state.realtimeClient);
    StopReceiver(state.browseClient);
    state.oem.Reset();
}

}  // namespace

void ServerProcess::AddInstance()
{
    ProcessState& state = State();
    orv::com::CSingleLock hold(state.startupLock);
    if (state.instanceCount == 0) {
        try {
            StartProcess(state);
        } catch (...) {
            // Half started: the next first instance starts from nothing again.
            StopProcess(state);
            throw;
        }
    }
    ++state.instanceCount;
}

void ServerProcess::RemoveInstance()
{
    ProcessState& state = State();
    orv::com::CSingleLock hold(state.startupLock);
    if (state.instanceCount == 0) return;
    if (--state.instanceCount == 0) StopProcess(state);
}

unsigned ServerProcess::InstanceCount()
{
    ProcessState& state = State();
    orv::com::CSingleLock hold(state.startupLock);
    return state.instanceCount;
}

link::OPCKelvaneClient* ServerProcess::RealtimeClient()
{
    return State().realtimeClient.Get();
}

link::OPCKelvaneBrowser* ServerProcess::BrowseClient()
{
    return State().browseClient.Get();
}

}  // namespace twopc::server
