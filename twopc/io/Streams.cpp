#include "twopc/io/Streams.h"

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdint>
#include <type_traits>

namespace twopc::io {

using orv::com::ThrowHResult;
using orv::com::ThrowIfFailed;

namespace {

// Clients decode these records by these sizes; a change of layout would break every one of them.
static_assert(sizeof(OPCGROUPHEADER) == 20);
static_assert(sizeof(OPCITEMHEADER1) == 20);
static_assert(sizeof(OPCITEMHEADER2) == 12);
static_assert(sizeof(OPCGROUPHEADERWRITE) == 16);
static_assert(sizeof(OPCITEMHEADERWRITE) == 8);
static_assert(sizeof(VARIANT) == 24, "value records carry the 64-bit VARIANT layout");

// A stream on a memory block of its own (not freed with the stream), written at explicit
// positions. Until Finish hands the block out, the builder frees it.
class StreamBuilder {
public:
    StreamBuilder() { ThrowIfFailed(CreateStreamOnHGlobal(nullptr, FALSE, m_stream.Put())); }
    ~StreamBuilder()
    {
        HGLOBAL memory = nullptr;
        if (!m_stream || FAILED(GetHGlobalFromStream(m_stream.Get(), &memory))) return;
        m_stream.Reset();
        GlobalFree(memory);
    }
    StreamBuilder(const StreamBuilder&) = delete;
    StreamBuilder& operator=(const StreamBuilder&) = delete;

    void SeekTo(std::uint64_t position)
    {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(position);
        ThrowIfFailed(m_stream->Seek(to, STREAM_SEEK_SET, nullptr));
    }
    // Short writes count as failures: every offset in the stream depends on the bytes before it.
    void Write(const void* data, ULONG size)
    {
        ULONG written = 0;
        ThrowIfFailed(m_stream->Write(data, size, &written));
        if (written != size) ThrowHResult(STG_E_MEDIUMFULL);
    }
    template <class T>
    void Write(const T& record)
    {
        Write(&record, sizeof record);
    }
    DWORD Size()
    {
        STATSTG stat{};
        ThrowIfFailed(m_stream->Stat(&stat, STATFLAG_NONAME));
        if (stat.cbSize.HighPart != 0) ThrowHResult(STG_E_MEDIUMFULL);
        return stat.cbSize.LowPart;
    }
    HRESULT Finish(UniqueHGlobal& block)
    {
        HGLOBAL memory = nullptr;
        HRESULT hr = GetHGlobalFromStream(m_stream.Get(), &memory);
        if (FAILED(hr)) return hr;
        m_stream.Reset();
        block.Reset(memory);
        return hr;
    }

private:
    orv::com::ComPtr<IStream> m_stream;
};

// Writes one value record at the current position and gives its length in bytes.
std::uint64_t WriteValueRecord(StreamBuilder& builder, const VARIANT& value)
{
    builder.Write(value);
    if (value.vt != VT_BSTR) return sizeof(VARIANT);
    // SysStringByteLen gives 0 for a null BSTR, which stands for the empty string: its
    // terminator is still sent.
    const DWORD length = SysStringByteLen(value.bstrVal);
    builder.Write(length);
    static const OLECHAR kEmpty[1] = {0};
    builder.Write(value.bstrVal ? value.bstrVal : kEmpty, length + sizeof(OLECHAR));
    return sizeof(VARIANT) + sizeof length + length + sizeof(OLECHAR);
}

template <class ItemHeader>
ItemHeader MakeItemHeader(const StreamItems& items, DWORD i, std::uint64_t valueOffset)
{
    ItemHeader header{};
    header.hClient = items.clientHandles[i];
    header.dwValueOffset = static_cast<DWORD>(valueOffset);
    header.wQuality = items.qualities[i];
    header.wReserved = 0;
    if constexpr (std::is_same_v<ItemHeader, OPCITEMHEADER1>) header.ftTimeStampItem = items.timestamps[i];
    return header;
}

template <class ItemHeader>
HRESULT BuildData(OPCHANDLE clientGroup, DWORD transactionId, const StreamItems& items, UniqueHGlobal& block)
{
    StreamBuilder builder;
    OPCGROUPHEADER group{0, items.count, clientGroup, transactionId, S_OK};
    builder.Write(group);
    std::uint64_t headerOffset = sizeof(OPCGROUPHEADER);
    std::uint64_t valueOffset = headerOffset + std::uint64_t{items.count} * sizeof(ItemHeader);
    for (DWORD i = 0; i < items.count; ++i) {
        builder.SeekTo(headerOffset);
        builder.Write(MakeItemHeader<ItemHeader>(items, i, valueOffset));
        headerOffset += sizeof(ItemHeader);
        builder.SeekTo(valueOffset);
        valueOffset += WriteValueRecord(builder, items.values[i]);
    }
    group.dwSize = builder.Size();
    builder.SeekTo(0);
    builder.Write(group);
    return builder.Finish(block);
}

}  // namespace

HRESULT BuildDataStream(bool withTimestamps, OPCHANDLE clientGroup, DWORD transactionId, const StreamItems& items,
                        UniqueHGlobal& block) noexcept
{
    block.Reset();
    try {
        return withTimestamps ? BuildData<OPCITEMHEADER1>(clientGroup, transactionId, items, block)
                              : BuildData<OPCITEMHEADER2>(clientGroup, transactionId, items, block);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

HRESULT BuildWriteCompleteStream(OPCHANDLE clientGroup, DWORD transactionId, DWORD count,
                                 const OPCHANDLE* clientHandles, const HRESULT* errors, UniqueHGlobal& block) noexcept
{
    block.Reset();
    try {
        StreamBuilder builder;
        builder.Write(OPCGROUPHEADERWRITE{count, clientGroup, transactionId, S_OK});
        for (DWORD i = 0; i < count; ++i) builder.Write(OPCITEMHEADERWRITE{clientHandles[i], errors[i]});
        return builder.Finish(block);
    } catch (...) {
        return orv::com::HResultFromCaught();
    }
}

void SendStream(IAdviseSink* sink, const FORMATETC& format, HGLOBAL block) noexcept
{
    FORMATETC advised = format;  // OnDataChange takes a non-const pointer: the sink may not touch ours
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    medium.pUnkForRelease = nullptr;
    orv::com::CallClient([&] {
        sink->OnDataChange(&advised, &medium);
        return S_OK;
    });
}

}  // namespace twopc::io
