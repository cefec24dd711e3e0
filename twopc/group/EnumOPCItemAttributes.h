#pragma once
// CEnumOPCItemAttributes: IEnumOPCItemAttributes over a snapshot of a group's items,
// taken once when the enumerator is made. Clones share the snapshot.

#include "orv/com/ComObject.h"
#include "twopc/group/OPCItem.h"

#include <memory>
#include <vector>

namespace twopc::group {

using ItemSnapshot = std::vector<ItemAttributes>;

class CEnumOPCItemAttributes final : public orv::com::ComObject<CEnumOPCItemAttributes, IEnumOPCItemAttributes> {
public:
    CEnumOPCItemAttributes(std::shared_ptr<const ItemSnapshot> snapshot, std::size_t position);

    // IEnumOPCItemAttributes
    IFACEMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) noexcept override;
    IFACEMETHODIMP Skip(ULONG celt) noexcept override;
    IFACEMETHODIMP Reset() noexcept override;
    IFACEMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) noexcept override;

private:
    std::shared_ptr<const ItemSnapshot> m_snapshot;
    std::size_t m_position;
};

}  // namespace twopc::group
