// The OPC 1.0 stream builders against a reference model on seeded random item lists. The
// model writes the expected stream front to back into a byte vector from the field layout
// alone (no OPC header structures), and every byte the builder produced is compared with it.
// Each VARIANT is made from 24 random bytes, so the record must carry reserved words and
// unused union bytes exactly as they lie in memory. Worked sizes, decoded independently, and
// the clipboard formats are checked through COM in dataobject_test.

#include <doctest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "twopc/io/Streams.h"

using twopc::io::StreamItems;
using twopc::io::UniqueHGlobal;

namespace {

using ByteVector = std::vector<std::uint8_t>;

void Put16(ByteVector& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(ByteVector& out, std::uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// One item as the model knows it: its record bytes, and for a BSTR the string's bytes.
struct ModelItem {
    std::uint32_t handle = 0;
    std::uint16_t quality = 0;
    std::uint32_t timeLow = 0;
    std::uint32_t timeHigh = 0;
    std::array<std::uint8_t, 24> record{};
    bool isString = false;   // vt exactly VT_BSTR
    ByteVector stringBytes;  // without terminator; empty for a null BSTR
};

std::size_t RecordLength(const ModelItem& item) { return 24 + (item.isString ? 4 + item.stringBytes.size() + 2 : 0); }

ByteVector ModelDataStream(bool withTimestamps, std::uint32_t group, std::uint32_t transaction,
                           const std::vector<ModelItem>& items)
{
    const std::size_t headerLength = withTimestamps ? 20 : 12;
    std::size_t total = 20 + headerLength * items.size();
    for (const ModelItem& item : items) total += RecordLength(item);

    ByteVector out;
    Put32(out, static_cast<std::uint32_t>(total));
    Put32(out, static_cast<std::uint32_t>(items.size()));
    Put32(out, group);
    Put32(out, transaction);
    Put32(out, 0);
    std::size_t valueOffset = 20 + headerLength * items.size();
    for (const ModelItem& item : items) {
        Put32(out, item.handle);
        Put32(out, static_cast<std::uint32_t>(valueOffset));
        Put16(out, item.quality);
        Put16(out, 0);
        if (withTimestamps) {
            Put32(out, item.timeLow);
            Put32(out, item.timeHigh);
        }
        valueOffset += RecordLength(item);
    }
    for (const ModelItem& item : items) {
        out.insert(out.end(), item.record.begin(), item.record.end());
        if (!item.isString) continue;
        Put32(out, static_cast<std::uint32_t>(item.stringBytes.size()));
        out.insert(out.end(), item.stringBytes.begin(), item.stringBytes.end());
        Put16(out, 0);
    }
    return out;
}

ByteVector ModelWriteCompleteStream(std::uint32_t group, std::uint32_t transaction,
                                    const std::vector<OPCHANDLE>& handles, const std::vector<HRESULT>& errors)
{
    ByteVector out;
    Put32(out, static_cast<std::uint32_t>(handles.size()));
    Put32(out, group);
    Put32(out, transaction);
    Put32(out, 0);
    for (std::size_t i = 0; i < handles.size(); ++i) {
        Put32(out, handles[i]);
        Put32(out, static_cast<std::uint32_t>(errors[i]));
    }
    return out;
}

ByteVector BlockBytes(const UniqueHGlobal& block)
{
    REQUIRE(block);
    const SIZE_T size = GlobalSize(block.Get());
    const auto* p = static_cast<const std::uint8_t*>(GlobalLock(block.Get()));
    REQUIRE(p);
    ByteVector bytes(p, p + size);
    GlobalUnlock(block.Get());
    return bytes;
}

// The block may be larger than the stream; the stream itself must be the model's, byte for byte.
void CheckStream(const ByteVector& actual, const ByteVector& expected)
{
    REQUIRE(actual.size() >= expected.size());
    const auto differ = std::mismatch(expected.begin(), expected.end(), actual.begin());
    if (differ.first == expected.end()) return;
    INFO("first difference at byte ", differ.first - expected.begin(), " of ", expected.size());
    REQUIRE(static_cast<unsigned>(*differ.second) == static_cast<unsigned>(*differ.first));
}

// The builder's inputs, owning the strings that the VARIANTs point at.
struct BuilderItems {
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<BSTR> strings;
    ~BuilderItems()
    {
        for (BSTR s : strings) SysFreeString(s);
    }
    StreamItems View() const
    {
        return {static_cast<DWORD>(values.size()), handles.data(), values.data(), qualities.data(), times.data()};
    }
};

// Types a value may have; only plain VT_BSTR is followed by string data.
constexpr std::array<VARTYPE, 9> kTypes = {
    VT_EMPTY, VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_BSTR, VT_ARRAY | VT_I4, VT_BYREF | VT_BSTR, VT_ARRAY | VT_BSTR,
};

struct Generator {
    std::mt19937 random;

    std::uint32_t Word32() { return static_cast<std::uint32_t>(random()); }
    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); }

    // Adds one random item to both the model and the builder's inputs. The VARIANT is 24
    // random bytes with vt set; for VT_BSTR the union's pointer is a real string, which may be
    // null, empty, hold nulls, or have an odd byte length.
    void AddItem(std::vector<ModelItem>& model, BuilderItems& inputs)
    {
        ModelItem item;
        item.handle = Word32();
        item.quality = static_cast<std::uint16_t>(Word32());
        item.timeLow = Word32();
        item.timeHigh = Word32();
        for (std::uint8_t& b : item.record) b = static_cast<std::uint8_t>(Word32());
        const VARTYPE vt = kTypes[Below(kTypes.size())];
        item.record[0] = static_cast<std::uint8_t>(vt);
        item.record[1] = static_cast<std::uint8_t>(vt >> 8);
        if (vt == VT_BSTR) {
            item.isString = true;
            BSTR text = nullptr;
            switch (Below(6)) {
            case 0: break;  // null stands for the empty string
            case 1: text = SysAllocString(L""); break;
            case 2: {       // an odd number of bytes
                const std::size_t length = 1 + 2 * Below(5);
                for (std::size_t i = 0; i < length; ++i) item.stringBytes.push_back(static_cast<std::uint8_t>('A' + Below(26)));
                text = SysAllocStringByteLen(reinterpret_cast<const char*>(item.stringBytes.data()),
                                             static_cast<UINT>(length));
                break;
            }
            default: {
                std::wstring chars(Below(13), L'\0');
                for (wchar_t& c : chars) c = Below(5) == 0 ? L'\0' : static_cast<wchar_t>(0x20 + Below(0x3000));
                for (wchar_t c : chars) Put16(item.stringBytes, c);
                text = SysAllocStringLen(chars.data(), static_cast<UINT>(chars.size()));
                break;
            }
            }
            if (text) inputs.strings.push_back(text);
            const auto pointer = reinterpret_cast<std::uintptr_t>(text);
            for (int i = 0; i < 8; ++i) item.record[8 + i] = static_cast<std::uint8_t>(pointer >> (8 * i));
        }
        VARIANT value;
        static_assert(sizeof value == 24);
        std::memcpy(&value, item.record.data(), sizeof value);
        inputs.values.push_back(value);
        inputs.handles.push_back(item.handle);
        inputs.qualities.push_back(item.quality);
        inputs.times.push_back(FILETIME{item.timeLow, item.timeHigh});
        model.push_back(std::move(item));
    }
};

}  // namespace

TEST_CASE("random data streams: every byte is the model's")
{
    constexpr std::uint32_t kSeed = 14318167;
    constexpr int kCases = 2000;
    INFO("seed ", kSeed);
    Generator generator{std::mt19937(kSeed)};
    int strings = 0;
    for (int n = 0; n < kCases; ++n) {
        std::vector<ModelItem> model;
        BuilderItems inputs;
        for (std::size_t count = generator.Below(7); count > 0; --count) generator.AddItem(model, inputs);
        const bool withTimestamps = generator.Below(2) == 0;
        const std::uint32_t group = generator.Word32();
        const std::uint32_t transaction = generator.Below(3) == 0 ? 0 : generator.Word32();
        INFO("case ", n, ": ", model.size(), " items, timestamps ", withTimestamps);

        UniqueHGlobal block;
        REQUIRE(twopc::io::BuildDataStream(withTimestamps, group, transaction, inputs.View(), block) == S_OK);
        CheckStream(BlockBytes(block), ModelDataStream(withTimestamps, group, transaction, model));
        for (const ModelItem& item : model) strings += item.isString ? 1 : 0;
    }
    CHECK(strings >= kCases / 2);
}

TEST_CASE("random write-complete streams: 16 + 8n bytes, every byte the model's")
{
    constexpr std::uint32_t kSeed = 245982;
    INFO("seed ", kSeed);
    Generator generator{std::mt19937(kSeed)};
    for (int n = 0; n < 1000; ++n) {
        std::vector<OPCHANDLE> handles(generator.Below(10));
        std::vector<HRESULT> errors(handles.size());
        for (OPCHANDLE& h : handles) h = generator.Word32();
        for (HRESULT& e : errors) e = static_cast<HRESULT>(generator.Word32());
        const std::uint32_t group = generator.Word32();
        const std::uint32_t transaction = generator.Word32();
        INFO("case ", n, ": ", handles.size(), " results");
        UniqueHGlobal block;
        REQUIRE(twopc::io::BuildWriteCompleteStream(group, transaction, static_cast<DWORD>(handles.size()),
                                                    handles.data(), errors.data(), block) == S_OK);
        const ByteVector expected = ModelWriteCompleteStream(group, transaction, handles, errors);
        CHECK(expected.size() == 16 + 8 * handles.size());
        CheckStream(BlockBytes(block), expected);
    }
}
