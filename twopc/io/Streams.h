#pragma once
// The OPC 1.0 streams: building them in a global memory block and lending that block to an
// advise sink. The layout is a wire format shared with clients, byte for byte: a group header,
// one item header per item, then the value records in item order, each a VARIANT as it lies in
// memory (24 bytes), followed for a BSTR by its byte length, its characters and a terminator.

#include <windows.h>
#include <objidl.h>
#include <opcda.h>

#include <utility>

namespace twopc::io {

// Owns a global memory block and frees it on destruction.
class UniqueHGlobal {
public:
    UniqueHGlobal() noexcept = default;
    explicit UniqueHGlobal(HGLOBAL owned) noexcept : m_block(owned) {}
    UniqueHGlobal(UniqueHGlobal&& other) noexcept : m_block(std::exchange(other.m_block, nullptr)) {}
    UniqueHGlobal& operator=(UniqueHGlobal&& other) noexcept
    {
        Reset(std::exchange(other.m_block, nullptr));
        return *this;
    }
    UniqueHGlobal(const UniqueHGlobal&) = delete;
    UniqueHGlobal& operator=(const UniqueHGlobal&) = delete;
    ~UniqueHGlobal() { Reset(); }

    // A free that fails has nobody to tell: the block was ours alone.
    void Reset(HGLOBAL owned = nullptr) noexcept
    {
        if (m_block) GlobalFree(m_block);
        m_block = owned;
    }
    HGLOBAL Get() const noexcept { return m_block; }
    explicit operator bool() const noexcept { return m_block != nullptr; }

private:
    HGLOBAL m_block = nullptr;
};

// The items of one data stream as parallel arrays of `count` entries. `timestamps` is read
// only for the time-stamped format.
struct StreamItems {
    DWORD count = 0;
    const OPCHANDLE* clientHandles = nullptr;
    const VARIANT* values = nullptr;
    const WORD* qualities = nullptr;
    const FILETIME* timestamps = nullptr;
};

// Builds an "OPCSTMFORMATDATATIME" stream (withTimestamps) or an "OPCSTMFORMATDATA" stream into
// `block`. On failure `block` is left empty and the code is returned; a stream that could not
// be written whole is never handed out.
HRESULT BuildDataStream(bool withTimestamps, OPCHANDLE clientGroup, DWORD transactionId, const StreamItems& items,
                        UniqueHGlobal& block) noexcept;

// Builds an "OPCSTMFORMATWRITECOMPLETE" stream of `count` results into `block`.
HRESULT BuildWriteCompleteStream(OPCHANDLE clientGroup, DWORD transactionId, DWORD count,
                                 const OPCHANDLE* clientHandles, const HRESULT* errors, UniqueHGlobal& block) noexcept;

// Calls the sink's OnDataChange with `format` and a medium that only lends it `block`: no
// release object, so the sink must copy what it needs before it returns, and the caller frees.
void SendStream(IAdviseSink* sink, const FORMATETC& format, HGLOBAL block) noexcept;

}  // namespace twopc::io
