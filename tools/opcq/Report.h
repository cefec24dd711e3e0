#pragma once
// How item results read in text and in JSON, shared by the commands so that a value, a
// quality or an error looks the same wherever it appears.

#include "Json.h"

#include <windows.h>

#include <optional>
#include <string>

namespace opcq {

// "42 (R8, good 0xC0, 2024-05-01T12:34:56.789Z)"; "no timestamp" for the zero time.
std::wstring ValueDetails(const VARIANT& value, WORD quality, const FILETIME& timestamp);
// "0xC0040007 The item ID is unknown." (the hex alone when there is no text).
std::wstring CodeWithText(HRESULT code, const std::wstring& text);
// "ITEM: error 0xC0040007 ..."
std::wstring ItemErrorLine(const std::wstring& item, HRESULT code, const std::wstring& text);

// "value", "type", "quality", "qualityCode" and "timestamp" members of the open object.
void JsonValueMembers(JsonWriter& json, const VARIANT& value, WORD quality, const FILETIME& timestamp);
// An "error" member: {"hresult": "0x...", "text": "..."}; hresult is null for a fault
// found on this side (a value that does not parse).
void JsonErrorMember(JsonWriter& json, std::optional<HRESULT> code, const std::wstring& text);

}  // namespace opcq
