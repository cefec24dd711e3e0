#pragma once
// Small registry operations below HKEY_CLASSES_ROOT, shared by the self-registration of
// every binary. Writes throw HResultError; deletions of what is not there succeed.

#include <windows.h>

#include <optional>
#include <string>

namespace orv::com {

// The full path of a loaded module (this DLL, or the EXE with nullptr).
std::wstring ModulePath(HMODULE module);

// Creates `key` as needed and sets the REG_SZ value `name` (the default value when null).
void SetClassesString(const std::wstring& key, const wchar_t* name, const std::wstring& value);
// The REG_SZ value, or nothing when the key or the value is missing.
std::optional<std::wstring> ClassesString(const std::wstring& key, const wchar_t* name = nullptr);
bool ClassesKeyExists(const std::wstring& key);

// Deletes a key with everything below it.
HRESULT DeleteClassesTree(const std::wstring& key) noexcept;
// Deletes one value of a key.
HRESULT DeleteClassesValue(const std::wstring& key, const wchar_t* name) noexcept;
// Deletes the key when it holds neither subkeys nor values.
void DeleteClassesKeyIfEmpty(const std::wstring& key) noexcept;

// The text of a GUID in braces.
std::wstring GuidText(const GUID& guid);

}  // namespace orv::com
