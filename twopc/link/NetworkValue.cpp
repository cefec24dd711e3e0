#include "twopc/link/NetworkValue.h"

#include "orv/com/ComPtr.h"
#include "orv/com/HResult.h"
#include "orv/com/Owners.h"
#include "orv/hmx/NumericCast.h"
#include "twopc/link/LinkLibraries.h"

#include <cstring>
#include <cwchar>
#include <type_traits>
#include <utility>

namespace twopc::link {
namespace {

using orv::com::ComPtr;
using orv::com::HResultError;
using orv::com::UniqueBstr;
using orv::com::UniqueVariant;

KelvaneValue NullValue() noexcept
{
    KelvaneValue value{};
    value.type = kvNull;
    return value;
}

// SysAllocString* report exhaustion only by a null result; callers of ToVariant expect
// it as E_OUTOFMEMORY.
UniqueBstr AllocateBstr(const wchar_t* text, std::size_t length)
{
    UniqueBstr bstr(SysAllocStringLen(text, orv::hmx::NumericCast<UINT>(length)));
    if (!bstr.Get()) throw HResultError(E_OUTOFMEMORY);
    return bstr;
}

UniqueBstr WideTextToBstr(const wchar_t* text)
{
    return text ? AllocateBstr(text, std::wcslen(text)) : AllocateBstr(L"", 0);
}

UniqueBstr NarrowTextToBstr(const char* text)
{
    if (!text || !*text) return AllocateBstr(L"", 0);
    const int length = orv::hmx::NumericCast<int>(std::strlen(text));
    const int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, text, length, nullptr, 0);
    if (wideLength == 0) orv::com::ThrowLastError();
    UniqueBstr bstr = AllocateBstr(nullptr, static_cast<std::size_t>(wideLength));
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, length, bstr.Get(), wideLength) == 0)
        orv::com::ThrowLastError();
    return bstr;
}

// A text object that does not grant the interface its type code names gives E_FAIL
// rather than an empty string: the value is unreadable, and an empty string would pass
// it on to clients as good data indistinguishable from real empty text.
template <class Char>
HRESULT TextObjectToBstr(IUnknown* object, const GUID& textIid, UniqueBstr& bstr)
{
    if (!object) {
        bstr = AllocateBstr(L"", 0);
        return S_OK;
    }
    ComPtr<IKelvaneTextT<Char>> text;
    if (FAILED(object->QueryInterface(textIid, text.PutVoid())) || !text) return E_FAIL;
    // GetText's pointer lives only as long as the interface reference; copy before release.
    if constexpr (std::is_same_v<Char, char>)
        bstr = NarrowTextToBstr(text->GetText());
    else
        bstr = WideTextToBstr(text->GetText());
    return S_OK;
}

// Fills result only on success, so that every failure leaves it VT_EMPTY.
HRESULT BuildVariant(const KelvaneValue& value, VARIANT& result)
{
    switch (value.type) {
    case kvEmpty:
    case kvNull:
        return S_OK;
    case kvBool:
        V_VT(&result) = VT_BOOL;
        V_BOOL(&result) = value.payload.boolean ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case kvDouble:
        V_VT(&result) = VT_R8;
        V_R8(&result) = value.payload.real;
        return S_OK;
    case kvNarrowText:
    case kvWideText: {
        UniqueBstr bstr;
        const HRESULT hr = value.type == kvNarrowText
                               ? TextObjectToBstr<char>(value.payload.object, IID_IKelvaneNarrowText, bstr)
                               : TextObjectToBstr<wchar_t>(value.payload.object, IID_IKelvaneWideText, bstr);
        if (FAILED(hr)) return hr;
        V_VT(&result) = VT_BSTR;
        V_BSTR(&result) = bstr.Detach();
        return S_OK;
    }
    default:
        return E_FAIL;
    }
}

}  // namespace

NetworkValue::NetworkValue() noexcept : m_value(NullValue()) {}

NetworkValue::NetworkValue(NetworkValue&& other) noexcept : m_value(std::exchange(other.m_value, NullValue())) {}

NetworkValue& NetworkValue::operator=(NetworkValue&& other) noexcept
{
    if (this != &other) {
        Release();
        m_value = std::exchange(other.m_value, NullValue());
    }
    return *this;
}

NetworkValue::~NetworkValue()
{
    Release();
}

void NetworkValue::Release() noexcept
{
    const KelvaneValue old = std::exchange(m_value, NullValue());
    if ((old.type & kvObjectFlag) && old.payload.object) old.payload.object->Release();
}

KelvaneValue* NetworkValue::Put() noexcept
{
    Release();
    return &m_value;
}

void NetworkValue::Reset() noexcept
{
    Release();
}

void NetworkValue::SetBoolean(bool value) noexcept
{
    Release();
    m_value.type = kvBool;
    m_value.payload.boolean = value ? 1 : 0;
}

void NetworkValue::SetDouble(double value) noexcept
{
    Release();
    m_value.type = kvDouble;
    m_value.payload.real = value;
}

void NetworkValue::AdoptWideText(IUnknown* object) noexcept
{
    Release();
    m_value.type = kvWideText;
    m_value.payload.object = object;
}

HRESULT ToVariant(const KelvaneValue& value, VARIANT* destination)
{
    // The per-value path of numbers and booleans: nothing to free, nothing to allocate.
    if (destination && !(value.type & kvObjectFlag) && orv::com::OwnsNothing(*destination)) {
        V_VT(destination) = VT_EMPTY;
        return BuildVariant(value, *destination);
    }
    UniqueVariant result;
    const HRESULT hr = BuildVariant(value, *result.Get());
    if (destination) {
        orv::com::ThrowIfFailed(VariantClear(destination));
        result.DetachTo(destination);
    }
    return hr;
}

HRESULT FromVariant(const VARIANT& source, NetworkValue& value)
{
    // The write target is the canonical type of the network type that the source maps
    // to: numbers become doubles, text wide text, anything else empty.
    const VARTYPE target = CanonicalOf(NetworkTypeOf(V_VT(&source)));

    UniqueVariant converted;
    // MinGW declares the source of VariantCopy non-const; it is only read.
    HRESULT hr = VariantCopy(converted.Get(), const_cast<VARIANT*>(&source));
    if (SUCCEEDED(hr)) hr = VariantChangeType(converted.Get(), converted.Get(), 0, target);
    if (FAILED(hr)) return hr;

    switch (V_VT(converted.Get())) {
    case VT_R8:
        value.SetDouble(V_R8(converted.Get()));
        return S_OK;
    case VT_BOOL:
        value.SetBoolean(V_BOOL(converted.Get()) != VARIANT_FALSE);
        return S_OK;
    case VT_BSTR: {
        const wchar_t* text = V_BSTR(converted.Get());
        if (!text || !*text) {
            value.AdoptWideText(nullptr);
            return S_OK;
        }
        const NewUnicodeGutsFn newUnicodeGuts = Link().newUnicodeGuts;
        IUnknown* object = newUnicodeGuts ? newUnicodeGuts(text) : nullptr;
        if (!object) return E_FAIL;
        value.AdoptWideText(object);
        return S_OK;
    }
    default:  // VT_EMPTY or VT_NULL: both are written as null
        value.Reset();
        return S_OK;
    }
}

VARTYPE CanonicalOf(std::uint32_t networkType)
{
    switch (networkType) {
    case kvNull: return VT_NULL;
    case kvBool: return VT_BOOL;
    case kvDouble: return VT_R8;
    case kvNarrowText:
    case kvWideText: return VT_BSTR;
    default: return VT_EMPTY;
    }
}

std::uint32_t NetworkTypeOf(VARTYPE variantType)
{
    switch (variantType & VT_TYPEMASK) {
    case VT_NULL: return kvNull;
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
    case VT_UI1: return kvDouble;
    case VT_BSTR: return kvWideText;
    case VT_BOOL: return kvBool;
    default: return kvEmpty;
    }
}

}  // namespace twopc::link
