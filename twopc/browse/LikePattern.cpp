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

// Every list in the pattern is closed and has no "-" before its "]". Checked once, before
// matching, so that a malformed pattern matches nothing wherever its fault lies.
bool IsWellFormed(std::string_view pattern)
{
    for (Position cursor = pattern.begin(); cursor != pattern.end();) {
        if (*cursor++ != '[') continue;
        Position listEnd = cursor;
        if (!MatchCharacterList(cursor, pattern.end(), '\0', listEnd)) return false;
        cursor = listEnd;
    }
    return true;
}

// Tests one character against the one-character token at `token` (anything but "*");
// on a match `next` is set just past the token.
bool MatchOne(Position token, Position patternEnd, char character, Position& next)
{
    switch (*token) {
    case '?': next = token + 1; return true;
    case '#': next = token + 1; return IsDecimalDigit(character);
    case '[': return MatchCharacterList(token + 1, patternEnd, character, next).value_or(false);
    default: next = token + 1; return *token == character;
    }
}

}  // namespace

// Every token but "*" takes exactly one character, so when a token fails it is enough to
// go back to the latest "*" and let it take one character more: earlier stars never need
// another split. Time is at most the name's length times the pattern's, without recursion.
bool MatchesLikePattern(std::string_view name, std::string_view pattern)
{
    if (!IsWellFormed(pattern)) return false;
    const Position patternEnd = pattern.end();
    Position token = pattern.begin();
    Position character = name.begin();
    bool afterStar = false;
    Position tokenAfterStar{};
    Position characterAfterStar{};
    while (character != name.end()) {
        if (token != patternEnd && *token == '*') {
            while (token != patternEnd && *token == '*') ++token;
            afterStar = true;
            tokenAfterStar = token;
            characterAfterStar = character;
            continue;
        }
        Position next{};
        if (token != patternEnd && MatchOne(token, patternEnd, *character, next)) {
            token = next;
            ++character;
            continue;
        }
        if (!afterStar) return false;
        token = tokenAfterStar;
        character = ++characterAfterStar;
    }
    while (token != patternEnd && *token == '*') ++token;
    return token == patternEnd;
}

}  // namespace twopc::browse
