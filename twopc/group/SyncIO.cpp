// IOPCSyncIO of COPCGroup, and the group read and group write that every read and write
// path of the server shares.

#include "twopc/group/OPCGroup.h"

namespace twopc::group {

using orv::com::CoTaskArray;
using orv::com::CSingleLock;
using orv::com::IsReadableArray;
using orv::com::IsWritableOut;

namespace {

// Entries that name no readable item get defined values rather than whatever was there.
constexpr OPCHANDLE kNoClientHandle = 0xFFFFFFFF;

}  // namespace

HRESULT COPCGroup::GroupRead(OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles, ItemValues& out)
{
    CSingleLock hold(m_groupLock);
    std::vector<COPCItem*> toRead(count, nullptr);
    for (DWORD i = 0; i < count; ++i) {
        auto found = m_items.find(handles[i]);
        if (found == m_items.end()) {
            out.errors[i] = OPC_E_INVALIDHANDLE;
            out.clientHandles[i] = kNoClientHandle;
        } else if (!found->second->IsReadable()) {
            out.errors[i] = OPC_E_BADRIGHTS;
            out.clientHandles[i] = found->second->ClientHandle();
        } else {
            toRead[i] = found->second.get();
        }
    }
    HRESULT result = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        if (toRead[i])
            out.errors[i] = toRead[i]->Read(source, out.clientHandles[i], out.values[i], out.qualities[i],
                                            out.timestamps[i]);
        if (FAILED(out.errors[i])) {
            out.qualities[i] = OPC_QUALITY_BAD;
            out.ClearValue(i);
            result = S_FALSE;
        }
    }
    return result;
}

HRESULT COPCGroup::GroupWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, OPCHANDLE* clientHandles,
                              HRESULT* errors)
{
    CSingleLock hold(m_groupLock);
    HRESULT result = S_OK;
    std::vector<COPCItem*> written(count, nullptr);
    for (DWORD i = 0; i < count; ++i) {
        auto found = m_items.find(handles[i]);
        if (found == m_items.end()) {
            errors[i] = OPC_E_INVALIDHANDLE;
            if (clientHandles) clientHandles[i] = kNoClientHandle;
            result = S_FALSE;
            continue;
        }
        written[i] = found->second.get();
        if (clientHandles) clientHandles[i] = written[i]->ClientHandle();
        errors[i] = written[i]->Write(values[i]);
        if (errors[i] != S_OK) result = S_FALSE;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!written[i]) continue;
        errors[i] = written[i]->LastWriteResult();
        if (errors[i] != S_OK) result = S_FALSE;
    }
    return result;
}

// IOPCSyncIO

HRESULT COPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                        HRESULT** ppErrors) noexcept
{
    // Held through every wait for a first value: reads of one group are one at a time.
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppItemValues) || !IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if ((dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) ||
        !IsReadableArray(phServer, dwCount) || dwCount == 0)
        return E_INVALIDARG;
    try {
        CoTaskArray<OPCITEMSTATE, orv::com::VariantMemberInside<&OPCITEMSTATE::vDataValue>> states(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        ItemValues read(dwCount);
        HRESULT result = GroupRead(dwSource, dwCount, phServer, read);
        for (DWORD i = 0; i < dwCount; ++i) {
            OPCITEMSTATE& state = states[i];
            errors[i] = read.errors[i];
            if (FAILED(read.errors[i])) continue;
            state.hClient = read.clientHandles[i];
            state.ftTimeStamp = read.timestamps[i];
            state.wQuality = read.qualities[i];
            state.vDataValue = read.values[i];  // moved, not copied
            VariantInit(&read.values[i]);
        }
        *ppItemValues = states.Detach();
        *ppErrors = errors.Detach();
        return result;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) noexcept
{
    CSingleLock hold(m_groupLock);
    if (m_removed) return E_FAIL;
    if (!IsWritableOut(ppErrors)) return E_INVALIDARG;
    *ppErrors = nullptr;
    if (!IsReadableArray(phServer, dwCount) ||
        !IsReadableArray(pItemValues, dwCount) || dwCount == 0)
        return E_INVALIDARG;
    try {
        CoTaskArray<HRESULT> errors(dwCount);
        HRESULT result = GroupWrite(dwCount, phServer, pItemValues, nullptr, errors.Get());
        *ppErrors = errors.Detach();
        return result;
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

}  // namespace twopc::group
