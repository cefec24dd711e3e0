#pragma once
// A private registry key below HKEY_CURRENT_USER that holds an address-space roots value,
// for tests that build a space from it; it is removed, with everything below it, before
// and after use.

#include <doctest.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

#include "twopc/browse/AddrSpace.h"

namespace twopc::test {

class ScratchRootsKey {
public:
    explicit ScratchRootsKey(const std::string& prefix) : m_name(prefix + std::to_string(GetCurrentProcessId()))
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, SubKey().c_str());
    }
    ~ScratchRootsKey() { RegDeleteTreeA(HKEY_CURRENT_USER, SubKey().c_str()); }
    ScratchRootsKey(const ScratchRootsKey&) = delete;
    ScratchRootsKey& operator=(const ScratchRootsKey&) = delete;

    twopc::browse::RootsKeyPath Path() const { return {HKEY_CURRENT_USER, {"Software", m_name, "1.2"}}; }

    // Creates the key, and sets the value unless it is null.
    void Create(const char* value, DWORD type = REG_SZ)
    {
        HKEY key = nullptr;
        REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, (SubKey() + "\\1.2").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) == ERROR_SUCCESS);
        LSTATUS set = ERROR_SUCCESS;
        if (value)
            set = RegSetValueExA(key, "Kelvane Root URLs", 0, type, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(std::strlen(value) + 1));
        RegCloseKey(key);
        REQUIRE(set == ERROR_SUCCESS);
    }

    std::optional<std::string> Value() const
    {
        char text[256] = {};
        DWORD size = sizeof(text);
        if (RegGetValueA(HKEY_CURRENT_USER, (SubKey() + "\\1.2").c_str(), "Kelvane Root URLs", RRF_RT_REG_SZ, nullptr,
                         text, &size) != ERROR_SUCCESS)
            return std::nullopt;
        return std::string(text);
    }

private:
    std::string SubKey() const { return "Software\\" + m_name; }
    std::string m_name;
};

}  // namespace twopc::test
