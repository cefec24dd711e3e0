#include "twopc/browse/LikePattern.h"

#include <climits>
#include <cstddef>
#include <optional>

namespace twopc::browse {
namespace {

using Position = std::string_view::const_iterator;

// Reads the list whose "[" has been consumed and tests one character against it. Empty
// when the list is malformed; otherwise whether the character passes, with `listEnd`
// set just past the closing "]". The whole list is always read, so that a malformed
// list fails even when an earlier member already matched.
std::optional<bool> MatchCharacterList(Position cursor, Position patternEnd, char character, Position& listEnd)
{
    const signed char candidate = static_cast<signed char>(character);
    bool negated = false;
    if (cursor != patternEnd && *cursor == '!') {
        negated = true;
        ++cursor;
    }
    bool found = false;
    // Where a "-" ranges from: the character before it, the lowest one at the list's start.
    signed char rangeStart = SCHAR_MIN;
    for (;;) {
        if (cursor == patternEnd) return std::nullopt;
        const signed char member = static_cast<signed char>(*cursor++);
        if (member == ']') break;
        if (member != '-') {
            found = found || candidate == member;
            rangeStart = member;
            continue;
        }
        if (cursor == patternEnd || *cursor == ']') return std::nullopt;
        const signed char rangeEnd = static_cast<signed char>(*cursor++);
        found = found || (rangeStart <= candidate && candidate <= rangeEnd);
        rangeStart = rangeEnd;
    }
    listEnd = cursor;
    return found != negated;
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool MatchFrom(Position pattern, Position patternEnd, Position name, Position nameEnd)
{
    while (pattern != patternEnd) {
        const char token = *pattern;
        if (token == '*') {
            // A run of stars is one star; without this a pattern like "****x" on a long
            // name would retry every split of the name once per star.
            while (pattern != patternEnd && *pattern == '*') ++pattern;
            for (Position start = name;; ++start) {
                if (MatchFrom(pattern, patternEnd, start, nameEnd)) return true;
                if (start == nameEnd) return false;
            }
        }
        if (name == nameEnd) return false;
        switch (token) {
        case '?':
            ++pattern;
            break;
        case '#':
            if (!IsDecimalDigit(*name)) return false;
            ++pattern;
            break;
        case '[': {
            Position listEnd = pattern;
            const std::optional<bool> passes = MatchCharacterList(pattern + 1, patternEnd, *name, listEnd);
            if (!passes || !*passes) return false;
            pattern = listEnd;
            break;
        }
        default:
            if (*name != token) return false;
            ++pattern;
            break;
        }
        ++name;
    }
    return name == nameEnd;
}

}  // namespace

bool MatchesLikePattern(std::string_view name, std::string_view pattern)
{
    return MatchFrom(pattern.begin(), pattern.end(), name.begin(), name.end());
}

}  // namespace twopc::browse
