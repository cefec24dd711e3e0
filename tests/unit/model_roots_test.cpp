// The configured roots of the address space against a reference model of the root-list
// text, on seeded random values written to a private registry key. The model reads the text
// one character at a time, alternating between collecting a name (ended by "=") and an ID
// component (ended by ","), and ignores a separator that would end an empty token.

#include <doctest.h>

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "twopc/browse/AddrSpace.h"

#include "ScratchRootsKey.h"

using twopc::browse::BrowseSource;
using twopc::browse::CAddrNode;
using twopc::browse::CAddrSpace;
using twopc::test::ScratchRootsKey;

namespace {

struct ModelRoot {
    std::wstring name;
    std::optional<std::wstring> idComponent;
    bool operator==(const ModelRoot&) const = default;
};

// The texts here are ASCII, so widening is character by character.
std::vector<ModelRoot> ModelRoots(std::string_view text)
{
    std::vector<ModelRoot> roots;
    bool inName = true;
    std::wstring token;
    for (char c : text) {
        const char ending = inName ? '=' : ',';
        if (c != ending) {
            token += static_cast<wchar_t>(c);
            continue;
        }
        if (token.empty()) continue;  // a separator in front of a token
        if (inName) roots.push_back({token, std::nullopt});
        else roots.back().idComponent = token;
        token.clear();
        inName = !inName;
    }
    if (!token.empty()) {
        if (inName) roots.push_back({token, std::nullopt});
        else roots.back().idComponent = token;
    }
    return roots;
}

std::string Printable(std::wstring_view text)
{
    std::string shown;
    for (wchar_t c : text) shown += static_cast<char>(c);
    return shown;
}

// Builds a space from `text` and compares its roots with the model's, field by field.
void CompareWithModel(ScratchRootsKey& key, const std::string& text)
{
    INFO("roots text \"", text, "\"");
    key.Create(text.c_str());
    const std::unique_ptr<CAddrSpace> space = CAddrSpace::Build(BrowseSource{}, key.Path());
    REQUIRE(space);
    const std::vector<ModelRoot> expected = ModelRoots(text);
    const auto roots = space->Root().Children();
    REQUIRE(roots.size() == expected.size());
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const CAddrNode& root = *roots[i];
        INFO("root ", i, ": expected \"", Printable(expected[i].name), "\" = ",
             expected[i].idComponent ? "\"" + Printable(*expected[i].idComponent) + "\"" : std::string("(none)"));
        CHECK(root.BrowseName() == CAddrNode::Text(expected[i].name));
        CHECK(root.IdComponent() == expected[i].idComponent);
        CHECK(root.Delimiter() == CAddrNode::Text(L""));
        CHECK(root.AccessRights() == 3u);
        CHECK(root.CanonicalType() == VT_EMPTY);
        CHECK_FALSE(root.IsLeaf());
        CHECK(root.Children().empty());
        CHECK(root.Parent() == &space->Root());
    }
}

constexpr std::array<char, 12> kAlphabet = {'=', '=', '=', ',', ',', ',', 'a', 'b', 'N', '\\', '.', ' '};

}  // namespace

TEST_CASE("the model's reading of root lists, on examples")
{
    using Roots = std::vector<ModelRoot>;
    CHECK(ModelRoots("A=\\\\x,B=\\\\y") == Roots{{L"A", L"\\\\x"}, {L"B", L"\\\\y"}});
    CHECK(ModelRoots("A=\\\\x,B") == Roots{{L"A", L"\\\\x"}, {L"B", std::nullopt}});
    CHECK(ModelRoots("ALPHA=\\\\.,Network=\\") == Roots{{L"ALPHA", L"\\\\."}, {L"Network", L"\\"}});
    CHECK(ModelRoots("==A,=,,B==x=y,,") == Roots{{L"A,", L"B==x=y"}, {L",", std::nullopt}});
    CHECK(ModelRoots("") == Roots{});
}

TEST_CASE("random root lists: the build makes the model's roots in the model's order")
{
    constexpr std::uint32_t kSeed = 20487;
    constexpr int kCases = 600;
    INFO("seed ", kSeed);
    std::mt19937 random(kSeed);
    auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    ScratchRootsKey key("twopc-model-roots-");
    int withoutId = 0;
    for (int n = 0; n < kCases; ++n) {
        std::string text;
        for (std::size_t length = below(15); length > 0; --length) text += kAlphabet[below(kAlphabet.size())];
        INFO("case ", n);
        CompareWithModel(key, text);
        const std::vector<ModelRoot> roots = ModelRoots(text);
        if (!roots.empty() && !roots.back().idComponent) ++withoutId;
    }
    // The case that the format singles out must come up.
    CHECK(withoutId >= kCases / 10);
}
