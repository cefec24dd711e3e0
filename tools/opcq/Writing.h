#pragma once
// Writing ITEM=VALUE assignments through a group: each item is added to learn its
// canonical type, its value is parsed for that type, and the values that parsed are
// written in one IOPCSyncIO::Write. Used by `write` and by the timed writes of `watch`.

#include "CommandLine.h"
#include "Json.h"
#include "Session.h"

#include <optional>
#include <vector>

namespace opcq {

struct WriteOutcome {
    std::wstring item;
    OPCHANDLE serverHandle = 0;   // in the group written through; 0 when the item was not added
    UniqueVariant value;          // as parsed; empty when it did not parse
    std::optional<HRESULT> code;  // the server's answer; absent when the value did not parse
    std::wstring text;            // the code's text, or why the value did not parse
    bool Ok() const { return code && SUCCEEDED(*code); }
};

std::vector<WriteOutcome> WriteAssignments(const OpcServer& server, OpcGroup& group,
                                           const std::vector<Assignment>& assignments);

// "ITEM = 12.5: written", "ITEM: error 0x... text" or "ITEM: <why the value did not parse>".
std::wstring WriteOutcomeLine(const WriteOutcome& outcome);
// "item", "value" (when it parsed), "ok" and, on failure, "error" members of the open object.
void JsonWriteOutcomeMembers(JsonWriter& json, const WriteOutcome& outcome);

}  // namespace opcq
