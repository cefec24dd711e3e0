#include "orv/com/Registry.h"

#include "orv/com/HResult.h"
#include "orv/com/Owners.h"

namespace orv::com {
namespace {

HRESULT FromWin32(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT MissingIsFine(LSTATUS status)
{
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(status);
}

}  // namespace

std::wstring ModulePath(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) ThrowLastError();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void SetClassesString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    UniqueRegKey opened;
    ThrowIfFailed(FromWin32(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, opened.Put(), nullptr)));
    ThrowIfFailed(FromWin32(RegSetValueExW(opened.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)))));
}

std::optional<std::wstring> ClassesString(const std::wstring& key, const wchar_t* name)
{
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

bool ClassesKeyExists(const std::wstring& key)
{
    UniqueRegKey opened;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
}

HRESULT DeleteClassesTree(const std::wstring& key) noexcept
{
    return MissingIsFine(RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()));
}

HRESULT DeleteClassesValue(const std::wstring& key, const wchar_t* name) noexcept
{
    return MissingIsFine(RegDeleteKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name));
}

void DeleteClassesKeyIfEmpty(const std::wstring& key) noexcept
{
    UniqueRegKey opened;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.Put()) != ERROR_SUCCESS) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyW(opened.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    opened.Reset();
    if (subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40];
    return std::wstring(text, StringFromGUID2(guid, text, 40) - 1);
}

}  // namespace orv::com
