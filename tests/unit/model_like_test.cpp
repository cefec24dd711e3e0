// The Like matcher against a reference model on seeded random patterns and names. The model
// first compiles the whole pattern into tokens (a malformed pattern compiles to nothing and
// matches nothing), each list into a 256-entry membership table, and then matches by
// advancing the set of reachable name positions token by token, with no backtracking.
// The matcher that shipped before, which backtracked recursively at every "*", is kept as
// a second reference for the patterns where it finishes.

#include <doctest.h>

#include <array>
#include <bitset>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "twopc/browse/LikePattern.h"

using twopc::browse::MatchesLikePattern;

namespace {

struct Token {
    enum Kind { Literal, AnyOne, Digit, AnyRun, List };
    explicit Token(Kind k, char c = 0) : kind(k), literal(c) {}
    Kind kind;
    char literal;
    std::bitset<256> members;  // indexed by the character as signed, plus 128
};

std::size_t Slot(int signedCharacter) { return static_cast<std::size_t>(signedCharacter + 128); }
int AsSigned(char c) { return static_cast<signed char>(c); }

// "[" already read. A list is an optional "!", then members up to "]": a member is a
// character, or "-" followed by the character that ends a range whose start is the member
// or range end before it (the lowest character when there is none).
std::optional<Token> CompileList(std::string_view pattern, std::size_t& at)
{
    Token token(Token::List);
    const bool negated = at < pattern.size() && pattern[at] == '!';
    if (negated) ++at;
    int rangeFrom = SCHAR_MIN;
    for (;;) {
        if (at == pattern.size()) return std::nullopt;  // never closed
        const char c = pattern[at++];
        if (c == ']') break;
        if (c == '-') {
            if (at == pattern.size() || pattern[at] == ']') return std::nullopt;
            const int rangeTo = AsSigned(pattern[at++]);
            for (int v = rangeFrom; v <= rangeTo; ++v) token.members.set(Slot(v));
            rangeFrom = rangeTo;
        } else {
            token.members.set(Slot(AsSigned(c)));
            rangeFrom = AsSigned(c);
        }
    }
    if (negated) token.members.flip();
    return token;
}

std::optional<std::vector<Token>> Compile(std::string_view pattern)
{
    std::vector<Token> tokens;
    for (std::size_t at = 0; at < pattern.size();) {
        const char c = pattern[at++];
        switch (c) {
        case '*': tokens.emplace_back(Token::AnyRun); break;
        case '?': tokens.emplace_back(Token::AnyOne); break;
        case '#': tokens.emplace_back(Token::Digit); break;
        case '[': {
            std::optional<Token> list = CompileList(pattern, at);
            if (!list) return std::nullopt;
            tokens.push_back(*list);
            break;
        }
        default: tokens.emplace_back(Token::Literal, c); break;
        }
    }
    return tokens;
}

bool TakesOne(const Token& token, char c)
{
    switch (token.kind) {
    case Token::Literal: return c == token.literal;
    case Token::AnyOne: return true;
    case Token::Digit: return c >= '0' && c <= '9';
    case Token::List: return token.members.test(Slot(AsSigned(c)));
    case Token::AnyRun: break;
    }
    return false;
}

bool ModelMatches(std::string_view name, std::string_view pattern)
{
    const std::optional<std::vector<Token>> tokens = Compile(pattern);
    if (!tokens) return false;
    // reachable[k]: the first k characters of the name can be matched by the tokens so far.
    std::vector<bool> reachable(name.size() + 1, false);
    reachable[0] = true;
    for (const Token& token : *tokens) {
        std::vector<bool> next(name.size() + 1, false);
        for (std::size_t k = 0; k <= name.size(); ++k) {
            if (token.kind == Token::AnyRun) {
                next[k] = reachable[k] || (k > 0 && next[k - 1]);
            } else if (k > 0) {
                next[k] = reachable[k - 1] && TakesOne(token, name[k - 1]);
            }
        }
        reachable = std::move(next);
    }
    return reachable[name.size()];
}

// The earlier matcher: the model's tokens, tried against every split of the name at each
// "*". Exponential in the number of stars; the generator's patterns are short enough.
bool RecursiveMatches(const std::vector<Token>& tokens, std::size_t token, std::string_view name)
{
    if (token == tokens.size()) return name.empty();
    if (tokens[token].kind == Token::AnyRun) {
        for (std::size_t split = 0; split <= name.size(); ++split)
            if (RecursiveMatches(tokens, token + 1, name.substr(split))) return true;
        return false;
    }
    return !name.empty() && TakesOne(tokens[token], name[0]) && RecursiveMatches(tokens, token + 1, name.substr(1));
}

bool EarlierMatches(std::string_view name, std::string_view pattern)
{
    const std::optional<std::vector<Token>> tokens = Compile(pattern);
    return tokens && RecursiveMatches(*tokens, 0, name);
}

std::string Printable(std::string_view text)
{
    std::string shown;
    for (char c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        shown += c >= 0x20 && c < 0x7F ? std::string(1, c) : escaped;
    }
    return shown;
}

// Pattern characters: the special ones, list syntax, and characters at both ends of the
// signed range (0x80 is the lowest, 0xFF is -1, 0x7F the highest).
constexpr std::array<char, 18> kPatternAlphabet = {
    '*', '*', '?', '#', '[', '[', ']', ']', '!', '-', '-', 'a', 'b', '5', '\x80', '\xFF', '\x7F', 'z',
};
constexpr std::array<char, 14> kNameAlphabet = {
    'a', 'b', 'z', '0', '5', '9', '-', '!', ']', '[', '*', '\x80', '\xFF', '\x7F',
};

struct Generator {
    std::mt19937 random;

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); }
    template <std::size_t N>
    char Pick(const std::array<char, N>& alphabet)
    {
        return alphabet[Below(N)];
    }

    std::string Pattern()
    {
        std::string pattern;
        for (std::size_t n = Below(9); n > 0; --n) {
            if (Below(4) == 0) {
                // A list that is well formed more often than chance would make it.
                pattern += Below(3) == 0 ? "[!" : "[";
                for (std::size_t m = Below(4); m > 0; --m) pattern += Pick(kPatternAlphabet);
                if (Below(8) != 0) pattern += ']';
            } else {
                pattern += Pick(kPatternAlphabet);
            }
        }
        return pattern;
    }

    // A name that the model's tokens accept, so that matches are common; then perhaps one
    // character changed, added or removed.
    std::string NameFor(std::string_view pattern)
    {
        std::string name;
        if (const std::optional<std::vector<Token>> tokens = Compile(pattern)) {
            for (const Token& token : *tokens) {
                switch (token.kind) {
                case Token::Literal: name += token.literal; break;
                case Token::AnyOne: name += Pick(kNameAlphabet); break;
                case Token::Digit: name += static_cast<char>('0' + Below(10)); break;
                case Token::AnyRun:
                    for (std::size_t n = Below(3); n > 0; --n) name += Pick(kNameAlphabet);
                    break;
                case Token::List: {
                    if (token.members.none()) break;
                    std::size_t slot;
                    do slot = Below(256); while (!token.members.test(slot));
                    name += static_cast<char>(static_cast<int>(slot) - 128);
                    break;
                }
                }
            }
        }
        if (Below(3) == 0) {
            const std::size_t at = Below(name.size() + 1);
            switch (Below(3)) {
            case 0: name.insert(at, 1, Pick(kNameAlphabet)); break;
            case 1: if (at < name.size()) name.erase(at, 1); break;
            default: if (at < name.size()) name[at] = Pick(kNameAlphabet); break;
            }
        }
        return name;
    }

    std::string RandomName()
    {
        std::string name;
        for (std::size_t n = Below(6); n > 0; --n) name += Pick(kNameAlphabet);
        return name;
    }
};

}  // namespace

TEST_CASE("random patterns and names: the matcher decides as the model does")
{
    constexpr std::uint32_t kSeed = 298737389;
    constexpr int kCases = 6000;
    INFO("seed ", kSeed);
    Generator generator{std::mt19937(kSeed)};
    int matched = 0;
    int malformed = 0;
    for (int n = 0; n < kCases; ++n) {
        const std::string pattern = generator.Pattern();
        const std::string name = n % 4 == 0 ? generator.RandomName() : generator.NameFor(pattern);
        INFO("case ", n, ": name \"", Printable(name), "\" pattern \"", Printable(pattern), "\"");
        const bool expected = ModelMatches(name, pattern);
        REQUIRE(EarlierMatches(name, pattern) == expected);
        REQUIRE(MatchesLikePattern(name, pattern) == expected);
        matched += expected ? 1 : 0;
        malformed += Compile(pattern) ? 0 : 1;
    }
    // Both answers and malformed patterns must be common, or the comparison proves little.
    INFO("matched ", matched, ", malformed ", malformed);
    CHECK(matched >= kCases / 5);
    CHECK(kCases - matched >= kCases / 5);
    CHECK(malformed >= kCases / 20);
}
