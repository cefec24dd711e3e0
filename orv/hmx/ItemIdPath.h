#pragma once

#include <windows.h>

#include <string_view>

namespace orv::hmx {

// Outcome of scanning an item ID as a network path (\\computer\process\object). The
// first fault met while scanning from the left decides the status, so an ID with
// several faults always reports the same one. 10 is a known code that the scanner
// never produces; it still has an HRESULT of its own.
enum class ItemIdStatus : int {
    WellFormed = 0,
    MissingObject = 2,          // nothing after the process part, or an empty object part
    MissingComputer = 3,        // nothing after the leading "\\"
    MissingProcess = 4,         // nothing after the computer part, or an empty process part
    ThirdBackslash = 5,         // "\\\"
    NotNetworkPath = 6,         // does not start with "\\"
    ComputerNotTerminated = 7,  // the computer part is followed by something other than "\"
    EmptyComponent = 8,         // "\" or "." straight after a separator
    BadProcess = 9,             // "\" or "/" in the process part, or no "\" after it
    Unused = 10,
    TrailingCharacters = 11,    // something after the object part that belongs to no token
    EmptyName = 12,             // a plain name that starts with CR or LF
    BadComputerStart = 13,      // the computer name starts with a host-stop character
    UnclosedQuote = 14,         // a quoted name without its closing quote
};

// The scan's status and the parts found up to the point where it stopped; the views
// point into the scanned text. Quoted names keep their quotes (doubled quotes are not
// collapsed). Only the status matters to callers that check IDs.
struct ItemIdPath {
    ItemIdStatus status = ItemIdStatus::NotNetworkPath;
    std::wstring_view computer;
    std::wstring_view process;
    std::wstring_view object;
};

ItemIdPath ScanItemIdPath(std::wstring_view id) noexcept;

// The HRESULT that a client is given for a scan status; any status outside the known
// set gives E_FAIL.
HRESULT ItemIdStatusToHResult(ItemIdStatus status) noexcept;

// S_OK for a well-formed network path, a failure code naming the first fault
// otherwise. A null ID is checked as the empty string.
HRESULT CheckItemId(const wchar_t* id) noexcept;

}  // namespace orv::hmx
