#include "orv/com/Owners.h"

#include "orv/com/HResult.h"

#include <cwchar>

namespace orv::com {

UniqueBstr UniqueBstr::Copy(const wchar_t* text)
{
    BSTR copy = SysAllocString(text ? text : L"");
    if (!copy) throw std::bad_alloc();
    return UniqueBstr(copy);
}

VariantArray VariantArray::CopyOf(const VARIANT* values, std::size_t count)
{
    VariantArray copies(count);
    for (std::size_t i = 0; i < count; ++i) {
        // MinGW declares the source of VariantCopy non-const; it is only read.
        HRESULT hr = VariantCopy(&copies[i], const_cast<VARIANT*>(&values[i]));
        if (FAILED(hr)) ThrowHResult(hr);
    }
    return copies;
}

CoTaskArray<wchar_t> CoTaskStringCopy(const wchar_t* text)
{
    std::size_t length = text ? std::wcslen(text) : 0;
    CoTaskArray<wchar_t> copy(length + 1);
    if (length) std::wmemcpy(copy.Get(), text, length);
    return copy;
}

}  // namespace orv::com
