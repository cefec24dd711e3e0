#pragma once

#include <string_view>

namespace twopc::browse {

// The Like pattern that browse filters are written in, applied to narrow text. The whole
// name must match the whole pattern, case-sensitively:
//   *  any run of characters, the empty run included;
//   ?  any one character;
//   #  one decimal digit (0-9);
//   [list] one character in the list, [!list] one character not in it. Inside a list
//      "a-z" is an inclusive range compared as signed 8-bit characters; a "-" ranges from
//      the character before it, from the lowest character when it opens the list, and
//      from the end of the previous range when it follows one ("[a-c-e]" is a to e).
//      "]" always closes the list and cannot be a member.
// A malformed pattern matches nothing: a list in which a "-" is followed by "]" or by the
// end of the pattern, and a list that is never closed (an unclosed "[" is a typing slip,
// not a request for a literal bracket).
bool MatchesLikePattern(std::string_view name, std::string_view pattern);

}  // namespace twopc::browse
