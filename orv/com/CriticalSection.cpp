#include "orv/com/CriticalSection.h"

#include "orv/com/HResult.h"

namespace orv::com {

CCriticalSection::CCriticalSection()
{
    if (!InitializeCriticalSectionEx(&m_section, 0, 0)) ThrowLastError();
}

CCriticalSection::~CCriticalSection()
{
    DeleteCriticalSection(&m_section);
}

bool CCriticalSection::Lock(DWORD)
{
    EnterCriticalSection(&m_section);
    return true;
}

void CCriticalSection::Unlock()
{
    LeaveCriticalSection(&m_section);
}

}  // namespace orv::com
