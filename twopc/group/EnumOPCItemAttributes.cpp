#include "twopc/group/EnumOPCItemAttributes.h"

#include "orv/com/Owners.h"

#include <algorithm>

namespace twopc::group {

namespace {

// A task-allocator array of records that owns the strings and VARIANT inside each record
// it has filled, until it is handed to the client whole.
class RecordArray {
public:
    explicit RecordArray(std::size_t count) : m_records(count) {}
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;
    ~RecordArray()
    {
        for (std::size_t i = 0; i < m_filled; ++i) {
            OPCITEMATTRIBUTES& record = m_records[i];
            CoTaskMemFree(record.szAccessPath);
            CoTaskMemFree(record.szItemID);
            CoTaskMemFree(record.pBlob);
            VariantClear(&record.vEUInfo);
        }
    }
    // Records are filled in order, each one whole or not at all.
    void Fill(std::size_t i, const ItemAttributes& item);
    [[nodiscard]] OPCITEMATTRIBUTES* Detach() noexcept
    {
        m_filled = 0;
        return m_records.Detach();
    }

private:
    orv::com::CoTaskArray<OPCITEMATTRIBUTES> m_records;
    std::size_t m_filled = 0;
};

void RecordArray::Fill(std::size_t i, const ItemAttributes& item)
{
    orv::com::CoTaskArray<wchar_t> accessPath = orv::com::CoTaskStringCopy(item.accessPath.c_str());
    orv::com::CoTaskArray<wchar_t> itemId = orv::com::CoTaskStringCopy(item.itemId.c_str());
    OPCITEMATTRIBUTES& record = m_records[i];
    VariantInit(&record.vEUInfo);
    record.szAccessPath = accessPath.Detach();
    record.szItemID = itemId.Detach();
    record.bActive = item.active;
    record.hClient = item.clientHandle;
    record.hServer = item.serverHandle;
    record.dwAccessRights = item.accessRights;
    record.dwBlobSize = 0;
    record.pBlob = nullptr;
    record.vtRequestedDataType = item.requestedType;
    record.vtCanonicalDataType = item.canonicalType;
    record.dwEUType = OPC_NOENUM;
    m_filled = i + 1;
}

}  // namespace

CEnumOPCItemAttributes::CEnumOPCItemAttributes(std::shared_ptr<const ItemSnapshot> snapshot, std::size_t position)
    : m_snapshot(std::move(snapshot)), m_position(position)
{
}

HRESULT CEnumOPCItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) noexcept
{
    if (!ppItemArray) return E_POINTER;
    if (celt != 1 && !pceltFetched) return E_POINTER;
    *ppItemArray = nullptr;
    if (pceltFetched) *pceltFetched = 0;
    std::size_t remaining = m_snapshot->size() - m_position;
    std::size_t n = std::min<std::size_t>(celt, remaining);
    if (n == 0) return S_FALSE;

    try {
        RecordArray records(n);
        for (std::size_t i = 0; i < n; ++i) records.Fill(i, (*m_snapshot)[m_position + i]);
        m_position += n;
        *ppItemArray = records.Detach();
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
    if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
    return remaining >= celt ? S_OK : S_FALSE;
}

HRESULT CEnumOPCItemAttributes::Skip(ULONG celt) noexcept
{
    std::size_t remaining = m_snapshot->size() - m_position;
    if (celt >= remaining) {
        m_position = m_snapshot->size();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

HRESULT CEnumOPCItemAttributes::Reset() noexcept
{
    m_position = 0;
    return S_OK;
}

HRESULT CEnumOPCItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) noexcept
{
    if (!ppEnumItemAttributes) return E_POINTER;
    *ppEnumItemAttributes = nullptr;
    orv::com::ClientScope client(OwningClient());
    return orv::com::CreateComObject<CEnumOPCItemAttributes>(
        IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes), m_snapshot, m_position);
}

}  // namespace twopc::group
