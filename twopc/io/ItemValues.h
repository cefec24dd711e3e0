#pragma once
// The values of a group read or a data-change notification, one entry per item, in the
// parallel arrays that the OPC callbacks and streams take.

#include "orv/com/Owners.h"

#include <windows.h>
#include <opcda.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace twopc::io {

struct ItemValues {
    explicit ItemValues(std::size_t count)
        : clientHandles(count, 0), values(count), qualities(count, 0), timestamps(count, FILETIME{}),
          errors(count, S_OK)
    {
    }
    // A value that owns nothing is emptied without a call into oleaut32.
    void ClearValue(std::size_t i) noexcept { orv::com::ClearVariant(values[i]); }
    // Empties the first `count` values so that the arrays can serve again.
    void ClearValues(std::size_t count) noexcept { values.ClearFirst(count); }
    std::size_t Size() const noexcept { return values.Size(); }

    std::vector<OPCHANDLE> clientHandles;
    orv::com::VariantArray values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timestamps;
    std::vector<HRESULT> errors;
};

// The arrays a data-change scan fills, which the update-scan thread keeps from one scan to
// the next, whichever group it scans: one set stays warm in the thread's cache, where a
// set per group (tens of bytes an item) would be fetched from memory at every scan. Sized
// for the largest group scanned so far; freed with the thread.
class ScanArrays {
public:
    // Arrays of at least `count` entries, every value empty. Throws std::bad_alloc.
    ItemValues& AtLeast(std::size_t count)
    {
        if (!m_values || m_values->Size() < count) {
            m_values.reset();
            m_values = std::make_unique<ItemValues>(count);
        }
        return *m_values;
    }

private:
    std::unique_ptr<ItemValues> m_values;
};

}  // namespace twopc::io
