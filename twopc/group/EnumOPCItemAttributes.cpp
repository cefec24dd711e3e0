#include "twopc/group/EnumOPCItemAttributes.h"

#include "orv/com/Owners.h"

#include <algorithm>

namespace twopc::group {

namespace {

// Frees what the client would otherwise free: for records built before a failure.
void FreeRecord(OPCITEMATTRIBUTES& record) noexcept
{
    CoTaskMemFree(record.szAccessPath);
    CoTaskMemFree(record.szItemID);
    CoTaskMemFree(record.pBlob);
    VariantClear(&record.vEUInfo);
}

void FillRecord(OPCITEMATTRIBUTES& record, const ItemAttributes& item)
{
    VariantInit(&record.vEUInfo);
    record.szAccessPath = orv::com::CoTaskStringCopy(item.accessPath.c_str()).Detach();
    record.szItemID = orv::com::CoTaskStringCopy(item.itemId.c_str()).Detach();
    record.bActive = item.active;
    record.hClient = item.clientHandle;
    record.hServer = item.serverHandle;
    record.dwAccessRights = item.accessRights;
    record.dwBlobSize = 0;
    record.pBlob = nullptr;
    record.vtRequestedDataType = item.requestedType;
    record.vtCanonicalDataType = item.canonicalType;
    record.dwEUType = OPC_NOENUM;
}

}  // namespace

CEnumOPCItemAttributes::CEnumOPCItemAttributes(std::shared_ptr<const ItemSnapshot> snapshot, std::size_t position)
    : m_snapshot(std::move(snapshot)), m_position(position)
{
}

HRESULT CEnumOPCItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched)
{
    if (!ppItemArray) return E_POINTER;
    if (celt != 1 && !pceltFetched) return E_POINTER;
    *ppItemArray = nullptr;
    if (pceltFetched) *pceltFetched = 0;
    std::size_t remaining = m_snapshot->size() - m_position;
    std::size_t n = std::min<std::size_t>(celt, remaining);
    if (n == 0) return S_FALSE;

    orv::com::CoTaskArray<OPCITEMATTRIBUTES> records;
    try {
        records = orv::com::CoTaskArray<OPCITEMATTRIBUTES>(n);
    } catch (const std::bad_alloc&) {
        return S_FALSE;
    }
    std::size_t filled = 0;
    try {
        for (; filled < n; ++filled) FillRecord(records[filled], (*m_snapshot)[m_position + filled]);
    } catch (...) {
        for (std::size_t i = 0; i <= filled && i < n; ++i) FreeRecord(records[i]);
        return orv::com::HResultFromCaught();
    }
    m_position += n;
    *ppItemArray = records.Detach();
    if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
    return remaining >= celt ? S_OK : S_FALSE;
}

HRESULT CEnumOPCItemAttributes::Skip(ULONG celt)
{
    std::size_t remaining = m_snapshot->size() - m_position;
    if (celt >= remaining) {
        m_position = m_snapshot->size();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

HRESULT CEnumOPCItemAttributes::Reset()
{
    m_position = 0;
    return S_OK;
}

HRESULT CEnumOPCItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes)
{
    if (!ppEnumItemAttributes) return E_POINTER;
    *ppEnumItemAttributes = nullptr;
    orv::com::ClientScope client(OwningClient());
    return orv::com::CreateComObject<CEnumOPCItemAttributes>(
        IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes), m_snapshot, m_position);
}

}  // namespace twopc::group
