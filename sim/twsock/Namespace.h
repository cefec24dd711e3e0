#pragma once
// Internal to twsock: the points of the local computer as the network starts with them.

#include "Network.h"

#include <map>
#include <string>
#include <string_view>

namespace sim {

// The fixed points, keyed by name below "\\HOST\", with their first values stamped `now`.
std::map<std::wstring, PointState> DefaultPoints(std::uint64_t now);

// A name of the form mem\<name>: such a point is made by its first subscription.
bool IsMemoryName(std::wstring_view name);
PointState MemoryPoint(std::uint64_t now);

}  // namespace sim
