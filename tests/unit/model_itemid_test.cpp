// The item-ID path scanner against a reference model on seeded random IDs. The model is a
// state machine that looks at one character (or the end of the text) per step and either
// consumes it, hands it to the next state, or stops with a status; the first stop wins.

#include <doctest.h>

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "orv/hmx/ItemIdPath.h"

using orv::hmx::CheckItemId;
using orv::hmx::ItemIdStatus;
using orv::hmx::ScanItemIdPath;

namespace {

constexpr int kEndOfText = -1;

bool InTokenStop(int c) { return c == '\\' || c == '.' || c == '\'' || c == '\r' || c == '\n' || c == 0; }
bool InHostStop(int c) { return InTokenStop(c) || c == '/' || c == ' ' || c == '\t'; }
bool IsSeparator(int c) { return c == '\\' || c == '.'; }

struct ModelScan {
    int status = -1;
    std::optional<std::size_t> computerEnd;  // the computer part is [2, computerEnd)
    std::optional<std::size_t> processStart;
    std::optional<std::size_t> processEnd;
    std::optional<std::size_t> objectStart;  // a well-formed object part runs to the end
};

enum class State {
    FirstBackslash, SecondBackslash, HostStart, HostRest, HostEnd,
    ProcessStart, ProcessPlain, ProcessQuoted, ProcessQuoteSeen, ProcessEnd,
    ObjectStart, ObjectName, ObjectPlain, ObjectQuoted, ObjectQuoteSeen, ObjectAfterName, ObjectAfterSeparator,
    Tail,
};

ModelScan RunModel(std::wstring_view id)
{
    ModelScan scan;
    State state = State::FirstBackslash;
    bool processForbidden = false;
    std::size_t i = 0;
    auto stop = [&](int status) {
        scan.status = status;
        return scan;
    };
    // Consumes the character and moves on to `next`.
    auto take = [&](State next) {
        ++i;
        state = next;
    };
    for (;;) {
        const int c = i < id.size() ? static_cast<int>(id[i]) : kEndOfText;
        switch (state) {
        case State::FirstBackslash:
        case State::SecondBackslash:
            if (c != '\\') return stop(6);
            take(state == State::FirstBackslash ? State::SecondBackslash : State::HostStart);
            break;
        case State::HostStart:
            if (c == kEndOfText) return stop(3);
            if (c == '\\') return stop(5);
            if (c != '.' && InHostStop(c)) return stop(13);
            take(c == '.' ? State::HostEnd : State::HostRest);
            break;
        case State::HostRest:
            if (c != kEndOfText && (c == '.' || !InHostStop(c))) ++i;
            else state = State::HostEnd;
            break;
        case State::HostEnd:
            scan.computerEnd = i;
            if (c == kEndOfText) return stop(4);
            if (c != '\\') return stop(7);
            take(State::ProcessStart);
            break;
        case State::ProcessStart:
            if (IsSeparator(c)) return stop(8);
            if (c == kEndOfText) return stop(4);
            scan.processStart = i;
            if (c == '\'') take(State::ProcessQuoted);
            else if (InTokenStop(c)) return stop(12);
            else state = State::ProcessPlain;
            break;
        case State::ProcessPlain:
            if (c == kEndOfText || InTokenStop(c)) {
                state = State::ProcessEnd;
            } else {
                processForbidden = processForbidden || c == '/';
                ++i;
            }
            break;
        case State::ProcessQuoted:
            if (c == kEndOfText) return stop(14);
            processForbidden = processForbidden || c == '\\' || c == '/';
            take(c == '\'' ? State::ProcessQuoteSeen : State::ProcessQuoted);
            break;
        case State::ProcessQuoteSeen:  // a second quote keeps the name open
            if (c == '\'') take(State::ProcessQuoted);
            else state = State::ProcessEnd;
            break;
        case State::ProcessEnd:
            scan.processEnd = i;
            if (processForbidden) return stop(9);
            if (c == kEndOfText) return stop(2);
            if (c != '\\') return stop(9);
            take(State::ObjectStart);
            break;
        case State::ObjectStart:
            if (IsSeparator(c)) return stop(8);
            if (c == kEndOfText) return stop(2);
            scan.objectStart = i;
            state = State::ObjectName;
            break;
        case State::ObjectName:  // at the end of the text an empty name, which is no fault
            if (c == kEndOfText) state = State::Tail;
            else if (c == '\'') take(State::ObjectQuoted);
            else if (InTokenStop(c)) return stop(12);
            else state = State::ObjectPlain;
            break;
        case State::ObjectPlain:
            if (c == kEndOfText || InTokenStop(c)) state = State::ObjectAfterName;
            else ++i;
            break;
        case State::ObjectQuoted:
            if (c == kEndOfText) return stop(14);
            take(c == '\'' ? State::ObjectQuoteSeen : State::ObjectQuoted);
            break;
        case State::ObjectQuoteSeen:
            if (c == '\'') take(State::ObjectQuoted);
            else state = State::ObjectAfterName;
            break;
        case State::ObjectAfterName:
            if (IsSeparator(c)) take(State::ObjectAfterSeparator);
            else state = State::Tail;
            break;
        case State::ObjectAfterSeparator:
            if (IsSeparator(c)) return stop(8);
            state = State::ObjectName;
            break;
        case State::Tail:
            return stop(c == kEndOfText ? 0 : 11);
        }
    }
}

// The status-to-code table is checked row by row in itemid_test, with worked examples.
HRESULT ModelHResult(int status) { return orv::hmx::ItemIdStatusToHResult(static_cast<ItemIdStatus>(status)); }

// The IDs are ASCII apart from CR, LF, TAB and NUL, which are spelled out for the report.
std::string Printable(std::wstring_view id)
{
    std::string text;
    for (wchar_t c : id) {
        text += c == L'\r' ? "<CR>" : c == L'\n' ? "<LF>" : c == L'\t' ? "<TAB>" : c == 0 ? "<NUL>"
                                                                                  : std::string(1, char(c));
    }
    return text;
}

// Compares scanner and model on one ID: the status, the HRESULT of the check over the text
// up to its first null, and the parts that the scan got past.
void CompareWithModel(std::wstring_view id)
{
    INFO("id: \"", Printable(id), "\"");
    const ModelScan expected = RunModel(id);
    const orv::hmx::ItemIdPath actual = ScanItemIdPath(id);
    REQUIRE(static_cast<int>(actual.status) == expected.status);

    const std::wstring terminated(id);
    const std::wstring_view untilNull = std::wstring_view(terminated.c_str());
    CHECK(CheckItemId(terminated.c_str()) == ModelHResult(RunModel(untilNull).status));

    const std::wstring_view computer =
        expected.computerEnd ? id.substr(2, *expected.computerEnd - 2) : std::wstring_view();
    CHECK(actual.computer == computer);
    const std::wstring_view process = expected.processEnd
                                          ? id.substr(*expected.processStart, *expected.processEnd - *expected.processStart)
                                          : std::wstring_view();
    CHECK(actual.process == process);
    if (expected.status == 0) CHECK(actual.object == id.substr(*expected.objectStart));
}

// Characters that steer the scanner, weighted towards separators and quotes.
constexpr std::array<wchar_t, 20> kAlphabet = {
    L'\\', L'\\', L'\\', L'.', L'.', L'\'', L'\'', L'\r', L'\n', L'/', L' ', L'\t',
    L'a', L'b', L'Z', L'7', L'a', L'x', L'\0', L'q',
};

struct Generator {
    std::mt19937 random;

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); }
    wchar_t Character(bool withNull)
    {
        for (;;) {
            const wchar_t c = kAlphabet[Below(kAlphabet.size())];
            if (withNull || c != L'\0') return c;
        }
    }
    std::wstring Noise(std::size_t maxLength, bool withNull)
    {
        std::wstring text;
        for (std::size_t n = Below(maxLength + 1); n > 0; --n) text += Character(withNull);
        return text;
    }
    // A plain or quoted name; quoted names sometimes hold separators and doubled quotes.
    std::wstring Name()
    {
        if (Below(4) == 0) {
            std::wstring quoted = L"'";
            for (std::size_t n = Below(4); n > 0; --n) {
                const wchar_t c = Character(false);
                quoted += c == L'\'' ? std::wstring(L"''") : std::wstring(1, c);
            }
            return quoted + L"'";
        }
        std::wstring plain(1 + Below(3), L'a');
        for (wchar_t& c : plain) c = L"abZ7 /\t"[Below(7)];
        return plain;
    }
    // Mostly well-formed paths, then edited in one to three places.
    std::wstring NearlyWellFormed()
    {
        std::wstring id = L"\\\\";
        id += Below(4) == 0 ? std::wstring(L".") : std::wstring(L"host") + (Below(2) ? L".x" : L"");
        id += L"\\" + Name() + L"\\" + Name();
        for (std::size_t n = Below(4); n > 0; --n) id += (Below(2) ? L"\\" : L".") + Name();
        if (Below(6) == 0) id += L'.';
        for (std::size_t edits = Below(4); edits > 0; --edits) {
            const std::size_t at = Below(id.size() + 1);
            switch (Below(3)) {
            case 0: id.insert(at, 1, Character(true)); break;
            case 1: if (at < id.size()) id.erase(at, 1); break;
            default: if (at < id.size()) id[at] = Character(true); break;
            }
        }
        return id;
    }
    std::wstring Next()
    {
        switch (Below(8)) {
        case 0: return Noise(8, true);
        case 1:
        case 2: return L"\\\\" + Noise(12, true);
        case 3: return NearlyWellFormed().substr(0, 2 + Below(10));  // cut short
        default: return NearlyWellFormed();
        }
    }
};

}  // namespace

TEST_CASE("random IDs: the scanner reports the model's first fault and parts")
{
    constexpr std::uint32_t kSeed = 30788113;
    constexpr int kCases = 4000;
    INFO("seed ", kSeed);
    Generator generator{std::mt19937(kSeed)};
    std::array<int, 15> seen{};
    for (int n = 0; n < kCases; ++n) {
        const std::wstring id = generator.Next();
        INFO("case ", n);
        CompareWithModel(id);
        ++seen[static_cast<std::size_t>(RunModel(id).status)];
    }
    // The inputs must reach every status the scanner can give, or the comparison proves little.
    for (int status : {0, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14}) {
        INFO("status ", status, " seen ", seen[static_cast<std::size_t>(status)], " times");
        CHECK(seen[static_cast<std::size_t>(status)] > 0);
    }
}
