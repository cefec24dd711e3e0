#include "orv/com/Owners.h"

#include <cwchar>

namespace orv::com {

UniqueBstr UniqueBstr::Copy(const wchar_t* text)
{
    BSTR copy = SysAllocString(text ? text : L"");
    if (!copy) throw std::bad_alloc();
    return UniqueBstr(copy);
}

CoTaskArray<wchar_t> CoTaskStringCopy(const wchar_t* text)
{
    std::size_t length = text ? std::wcslen(text) : 0;
    CoTaskArray<wchar_t> copy(length + 1);
    if (length) std::wmemcpy(copy.Get(), text, length);
    return copy;
}

}  // namespace orv::com
