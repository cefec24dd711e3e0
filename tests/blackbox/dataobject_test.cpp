// The OPC 1.0 data object: QueryGetData, DAdvise and DUnadvise, and the streams that advise
// sinks receive from the advise-time refresh and from the group scan, decoded byte by byte.

#include "FakeAdviseSink.h"
#include "FakeDataCallback.h"

#include <cstring>

using namespace twopc::test;

namespace {

const CLIPFORMAT kData = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATA"));
const CLIPFORMAT kDataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));
const CLIPFORMAT kWriteComplete = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"));

FORMATETC Format(CLIPFORMAT cf)
{
    return FORMATETC{cf, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

struct StreamItem {
    OPCHANDLE client;
    WORD quality;
    WORD reserved;
    FILETIME time;
    VARIANT value;  // the record's 24 bytes as they were sent; a BSTR pointer in it means nothing here
    DWORD textBytes;
    std::wstring text;
};

struct DataStream {
    DWORD size, count, group, transaction, status;
    std::vector<StreamItem> items;
};

template <class T>
T At(const std::vector<BYTE>& bytes, std::size_t at)
{
    REQUIRE(at + sizeof(T) <= bytes.size());
    T value;
    std::memcpy(&value, &bytes[at], sizeof(T));
    return value;
}

// Decodes a data stream and checks its framing: the value records follow the item headers and
// each other without gaps, and dwSize is exactly where the last one ends.
DataStream Decode(const std::vector<BYTE>& bytes, bool withTime)
{
    auto u32 = [&](std::size_t at) { return At<DWORD>(bytes, at); };
    DataStream s{u32(0), u32(4), u32(8), u32(12), u32(16), {}};
    REQUIRE(s.size <= bytes.size());
    const std::size_t headerSize = withTime ? 20 : 12;
    std::size_t next = 20 + s.count * headerSize;
    for (DWORD i = 0; i < s.count; ++i) {
        const std::size_t at = 20 + i * headerSize;
        StreamItem item{u32(at), At<WORD>(bytes, at + 8), At<WORD>(bytes, at + 10), {}, At<VARIANT>(bytes, next),
                        0, {}};
        if (withTime) item.time = At<FILETIME>(bytes, at + 12);
        CHECK(u32(at + 4) == next);
        next += 24;
        if (item.value.vt == VT_BSTR) {
            item.textBytes = u32(next);
            REQUIRE(next + 4 + item.textBytes + 2 <= bytes.size());
            item.text.assign(reinterpret_cast<const wchar_t*>(&bytes[next + 4]), item.textBytes / 2);
            CHECK(At<WORD>(bytes, next + 4 + item.textBytes) == 0);
            next += 4 + item.textBytes + 2;
        }
        s.items.push_back(item);
    }
    CHECK(s.size == next);
    return s;
}

struct DataObjectGroup : ServerWithGroup {
    Ref<IDataObject> data = As<IDataObject>(group.Get());

    DataObjectGroup(std::initializer_list<OPCITEMDEF> items, BOOL active = FALSE, DWORD rate = 1000)
        : ServerWithGroup(items, active, rate)
    {
        REQUIRE((items.size() == 0 || added.result == S_OK));
        REQUIRE(SimWaitForDeliveries(5000));
    }
    DWORD Advise(CLIPFORMAT cf, RecordingSink& sink)
    {
        FORMATETC format = Format(cf);
        DWORD connection = 0;
        REQUIRE(data->DAdvise(&format, ADVF_PRIMEFIRST, &sink, &connection) == S_OK);
        CHECK(connection != 0);
        return connection;
    }
    void SetActive(BOOL active) { twopc::test::SetActive(group.Get(), active); }
};

}  // namespace

TEST_CASE("QueryGetData accepts exactly the three formats on an HGLOBAL of the content; six methods are E_NOTIMPL")
{
    DataObjectGroup g({});
    IDataObject* data = g.data.Get();
    for (CLIPFORMAT cf : {kData, kDataTime, kWriteComplete}) {
        FORMATETC format = Format(cf);
        CHECK(data->QueryGetData(&format) == S_OK);
    }
    CHECK(data->QueryGetData(nullptr) == DV_E_FORMATETC);

    FORMATETC format = Format(CF_TEXT);
    CHECK(data->QueryGetData(&format) == DV_E_FORMATETC);
    format = Format(kData);
    format.dwAspect = DVASPECT_ICON;
    CHECK(data->QueryGetData(&format) == DV_E_FORMATETC);
    format = Format(kData);
    DVTARGETDEVICE device{};
    device.tdSize = sizeof device;
    format.ptd = &device;
    CHECK(data->QueryGetData(&format) == DV_E_FORMATETC);
    format = Format(kData);
    format.tymed = TYMED_HGLOBAL | TYMED_ISTREAM;
    CHECK(data->QueryGetData(&format) == DV_E_FORMATETC);
    format = Format(kData);
    format.lindex = 0;
    CHECK(data->QueryGetData(&format) == DV_E_LINDEX);
    format.tymed = TYMED_ISTREAM;  // the FORMATETC checks come before lindex
    CHECK(data->QueryGetData(&format) == DV_E_FORMATETC);

    format = Format(kData);
    FORMATETC out{};
    STGMEDIUM medium{};
    Ref<IEnumFORMATETC> formats;
    Ref<IEnumSTATDATA> advises;
    CHECK(g.data->GetData(&format, &medium) == E_NOTIMPL);
    CHECK(g.data->GetDataHere(&format, &medium) == E_NOTIMPL);
    CHECK(g.data->GetCanonicalFormatEtc(&format, &out) == E_NOTIMPL);
    CHECK(g.data->SetData(&format, &medium, FALSE) == E_NOTIMPL);
    CHECK(g.data->EnumFormatEtc(DATADIR_GET, formats.Put()) == E_NOTIMPL);
    CHECK(g.data->EnumDAdvise(advises.Put()) == E_NOTIMPL);
}

TEST_CASE("DAdvise on an active group sends the active items' values before it returns")
{
    FakeDataCallback callback;
    RecordingSink sink;
    DataObjectGroup g({ItemDef(L"\\\\.\\proc1\\Constant", 11), ItemDef(L"\\\\.\\proc1\\Label", 12),
                       ItemDef(L"\\\\.\\proc1\\Running", 13), ItemDef(L"\\\\.\\proc1\\Setpoint", 14, VT_EMPTY, FALSE)});
    // Let the first scan pass (it reports every item), so that only the refresh can reach the
    // sink: the next one is a second away.
    AdviseDataCallback(g.group.Get(), &callback);
    g.SetActive(TRUE);
    REQUIRE(callback.WaitForCalls(1));
    Sleep(50);  // the scan sends to advise sinks after the callback

    // The members other than cfFormat are stored as given and handed back with every stream.
    FORMATETC format{kDataTime, nullptr, DVASPECT_THUMBNAIL, 0, TYMED_ISTREAM};
    DWORD connection = 0;
    REQUIRE(g.data->DAdvise(&format, 0, &sink, &connection) == S_OK);
    auto calls = sink.Calls();
    REQUIRE(calls.size() == 1);
    CHECK(sink.refs == 2);
    CHECK(calls[0].format.cfFormat == kDataTime);
    CHECK(calls[0].format.dwAspect == DVASPECT_THUMBNAIL);
    CHECK(calls[0].format.lindex == 0);
    CHECK(calls[0].format.tymed == TYMED_ISTREAM);
    CHECK(calls[0].tymed == TYMED_HGLOBAL);
    CHECK_FALSE(calls[0].releaseObject);

    DataStream s = Decode(calls[0].bytes, true);
    CHECK(s.size == 20 + 3 * 20 + 24 + (24 + 4 + 12) + 24);
    CHECK(s.group == 7);  // the group's client handle
    CHECK(s.transaction == 0);
    CHECK(s.status == 0);
    REQUIRE(s.count == 3);
    // Newest active item first; the inactive one is not read.
    CHECK(s.items[0].client == 13);
    CHECK(s.items[1].client == 12);
    CHECK(s.items[2].client == 11);
    for (const StreamItem& item : s.items) {
        CHECK(item.quality == OPC_QUALITY_GOOD);
        CHECK(item.reserved == 0);
        CHECK((item.time.dwLowDateTime | item.time.dwHighDateTime) != 0);
    }
    CHECK(s.items[0].value.vt == VT_BOOL);
    CHECK(s.items[0].value.boolVal == VARIANT_TRUE);
    CHECK(s.items[1].value.vt == VT_BSTR);
    CHECK(s.items[1].textBytes == 10);
    CHECK(s.items[1].text == L"ready");
    CHECK(s.items[2].value.vt == VT_R8);
    CHECK(s.items[2].value.dblVal == 42.0);

    Sleep(100);
    CHECK(sink.Count() == 1);  // nothing changed since the scan
    CHECK(g.data->DUnadvise(connection) == S_OK);
    CHECK(sink.refs == 1);
}

TEST_CASE("OPC 1.0 Read: all or nothing, completed on the named data connection")
{
    RecordingSink sink;
    DataObjectGroup g({ItemDef(L"\\\\.\\proc1\\Constant", 10), ItemDef(L"\\\\.\\proc1\\WriteOnly", 20)});
    auto io = As<IOPCAsyncIO>(g.group.Get());
    DWORD connection = g.Advise(kDataTime, sink);
    OPCHANDLE handles[] = {g.Handle(0), g.Handle(1), 0xFFFFFFF0};
    DWORD transaction = 99;

    Errors errors;
    REQUIRE(io->Read(connection, OPC_DS_DEVICE, 3, handles, &transaction, errors.Put()) == S_FALSE);
    CHECK(transaction == 0);
    CHECK(errors[0] == S_OK);
    CHECK(errors[2] == OPC_E_INVALIDHANDLE);
    CHECK(io->Read(connection + 1000, OPC_DS_DEVICE, 2, handles, &transaction, errors.Put()) == OLE_E_NOCONNECTION);
    CHECK(io->Read(connection, static_cast<OPCDATASOURCE>(0), 2, handles, &transaction, errors.Put()) ==
          E_INVALIDARG);
    REQUIRE(io->Read(connection, OPC_DS_DEVICE, 2, handles, &transaction, errors.Put()) == S_OK);
    CHECK(transaction != 0);
    REQUIRE(WaitFor([&] { return sink.Count() == 1; }));
    Sleep(100);
    REQUIRE(sink.Count() == 1);  // the invalid request was never queued
    DataStream stream = Decode(sink.Calls()[0].bytes, true);
    CHECK(stream.transaction == transaction);
    REQUIRE(stream.count == 2);
    CHECK(stream.items[0].client == 10);
    CHECK(stream.items[0].value.dblVal == 42.0);
    // Rights are checked only when the read runs: the failed entry is bad and empty.
    CHECK(stream.items[1].client == 20);
    CHECK(stream.items[1].quality == OPC_QUALITY_BAD);
    CHECK(stream.items[1].value.vt == VT_EMPTY);
}

TEST_CASE("OPC 1.0 Write and Refresh need a connection of the right kind")
{
    RecordingSink dataSink, writeSink;
    DataObjectGroup g({ItemDef(L"\\\\.\\proc1\\Setpoint", 10)});
    auto io = As<IOPCAsyncIO>(g.group.Get());
    DWORD data = g.Advise(kData, dataSink);
    DWORD write = g.Advise(kWriteComplete, writeSink);
    OPCHANDLE handle = g.Handle(0);
    VARIANT value = DoubleVariant(2.5);
    DWORD transaction = 0;
    Errors errors;
    CHECK(io->Write(data, 1, &handle, &value, &transaction, errors.Put()) == OLE_E_NOCONNECTION);
    CHECK(errors.Get() == nullptr);
    CHECK(io->Refresh(write, OPC_DS_CACHE, &transaction) == OLE_E_NOCONNECTION);
    CHECK(io->Refresh(data, OPC_DS_CACHE, &transaction) == E_FAIL);  // inactive group

    REQUIRE(io->Write(write, 1, &handle, &value, &transaction, errors.Put()) == S_OK);
    REQUIRE(WaitFor([&] { return writeSink.Count() == 1; }));
    const std::vector<BYTE> bytes = writeSink.Calls()[0].bytes;
    REQUIRE(bytes.size() == 24);
    CHECK(At<DWORD>(bytes, 0) == 1);
    CHECK(At<DWORD>(bytes, 8) == transaction);
    CHECK(At<DWORD>(bytes, 16) == 10);
    CHECK(At<DWORD>(bytes, 20) == S_OK);

    g.SetActive(TRUE);
    REQUIRE(WaitFor([&] { return dataSink.Count() >= 1; }));
    std::size_t before = dataSink.Count();
    REQUIRE(io->Refresh(data, OPC_DS_CACHE, &transaction) == S_OK);
    REQUIRE(WaitFor([&] {
        for (const auto& call : dataSink.Calls())
            if (Decode(call.bytes, false).transaction == transaction) return true;
        return false;
    }));
    CHECK(dataSink.Count() > before);
    CHECK(io->Cancel(transaction) == E_FAIL);  // already done
}
