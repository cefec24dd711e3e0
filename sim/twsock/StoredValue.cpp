#include "StoredValue.h"

#include "ComObject.h"

#include <sim/simctl.h>

#include <bit>

namespace sim {
namespace {

std::wstring Widen(const char* narrow)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
    if (length <= 1) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

template <class TextInterface>
ComPtr<TextInterface> QueryText(IUnknown* object)
{
    TextInterface* text = nullptr;
    if (FAILED(object->QueryInterface(InterfaceId<TextInterface>::value, reinterpret_cast<void**>(&text)))) {
        return {};
    }
    return ComPtr<TextInterface>::Adopt(text);
}

}  // namespace

StoredValue StoredValue::Double(double real)
{
    return {kelvane::vtDouble, std::bit_cast<std::uint64_t>(real), {}, false};
}

HRESULT FromNetwork(const kelvane::Value& value, StoredValue& stored)
{
    switch (value.type) {
    case kelvane::vtEmpty:
    case kelvane::vtNull:
        stored = StoredValue::Null();
        return S_OK;
    case kelvane::vtBool:
        stored = StoredValue::Boolean(value.payload.boolean != 0);
        return S_OK;
    case kelvane::vtDouble:
        stored = StoredValue::Double(value.payload.real);
        return S_OK;
    case kelvane::vtWideText:
        if (!value.payload.object) {
            stored = StoredValue::Text({});
        } else if (auto text = QueryText<kelvane::IKelvaneWideText>(value.payload.object)) {
            stored = StoredValue::Text(text->GetText());
        } else {
            return kelvane::KELVANE_E_TYPEMISMATCH;
        }
        return S_OK;
    case kelvane::vtNarrowText:
        if (!value.payload.object) {
            stored = StoredValue::Text({});
        } else if (auto text = QueryText<kelvane::IKelvaneNarrowText>(value.payload.object)) {
            stored = StoredValue::Text(Widen(text->GetText()));
        } else {
            return kelvane::KELVANE_E_TYPEMISMATCH;
        }
        return S_OK;
    default:
        return kelvane::KELVANE_E_TYPEMISMATCH;
    }
}

HRESULT ToNetwork(const StoredValue& stored, kelvane::Value& value) noexcept
{
    kelvane::Value made{};
    made.type = stored.type;
    if (stored.type == kelvane::vtWideText) {
        made.payload.object = stored.refusesText ? SimNewRefusingText() : NewUnicodeGuts(stored.text.c_str());
        if (!made.payload.object) return E_OUTOFMEMORY;
    } else {
        made.payload.bits = stored.bits;
    }
    value = made;
    return S_OK;
}

void ReleasePayload(kelvane::Value& value) noexcept
{
    if ((value.type & kelvane::vtObjectFlag) && value.payload.object) {
        std::exchange(value.payload.object, nullptr)->Release();
    }
}

}  // namespace sim
