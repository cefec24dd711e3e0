#include "orv/hmx/osdep/WideToAnsi.h"

#include <windows.h>

#include "orv/hmx/NumericCast.h"
#include "orv/hmx/osdep/WinError.h"
#include "orv/hmx/osdep/_GetCodePageID.h"

namespace orv::hmx::osdep {

TaskString WideToAnsi(const wchar_t* first, const wchar_t* last, const char* codePageName)
{
    const UINT codePage = GetCodePageID(codePageName);
    // The system reports an empty input as an error, so it never sees one.
    if (first == last) {
        return TaskString();
    }
    const int wideLength = NumericCast<int>(last - first);
    const int narrowLength = ::WideCharToMultiByte(codePage, 0, first, wideLength, nullptr, 0, nullptr, nullptr);
    if (narrowLength == 0) {
        throw WinError();
    }
    TaskString result = TaskString::WithLength(NumericCast<TaskString::size_type>(narrowLength));
    const int written =
        ::WideCharToMultiByte(codePage, 0, first, wideLength, result.Data(), narrowLength, nullptr, nullptr);
    if (written == 0) {
        throw WinError();
    }
    if (written != narrowLength) {
        result.Assign(result.Begin(), result.Begin() + written);
    }
    return result;
}

}  // namespace orv::hmx::osdep
