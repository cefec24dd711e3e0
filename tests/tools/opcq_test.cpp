// The parts of opcq that need no server: the command line, values parsed for writing and
// the JSON writer. Whole outputs against the server, with the text forms of values,
// qualities and timestamps, are opcq_e2e_test's.

#include "CommandLine.h"
#include "Json.h"
#include "Report.h"
#include "Values.h"

#include <doctest.h>
#include <opcda.h>

#include <cmath>
#include <limits>
#include <sstream>

using namespace opcq;

namespace {

template <class... Lambdas>
struct Overloaded : Lambdas... {
    using Lambdas::operator()...;
};

// The command line as parsed, in one line: "read device [A] [B]", or "error: ..." .
std::string Parsed(std::vector<std::wstring> arguments)
{
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.invocation) return "error: " + ToUtf8(parsed.error);
    const Invocation& call = *parsed.invocation;
    std::ostringstream out;
    if (call.server != kDefaultServer) out << "server " << ToUtf8(call.server) << ' ';
    if (call.json) out << "json ";
    const auto item = [&](const std::wstring& id) { out << " [" << ToUtf8(id) << ']'; };
    const auto assignment = [&](const Assignment& a) {
        out << " [" << ToUtf8(a.item) << "]=[" << ToUtf8(a.value) << ']';
    };
    std::visit(Overloaded{
                   [&](const HelpArgs&) { out << "help"; },
                   [&](const StatusArgs&) { out << "status"; },
                   [&](const PropsArgs& props) { out << "props [" << ToUtf8(props.item) << ']'; },
                   [&](const ReadArgs& read) {
                       out << "read" << (read.fromDevice ? " device" : "");
                       for (const std::wstring& id : read.items) item(id);
                   },
                   [&](const WriteArgs& write) {
                       out << "write" << (write.readBack ? " read-back" : "");
                       for (const Assignment& a : write.assignments) assignment(a);
                   },
                   [&](const BrowseArgs& browse) {
                       out << "browse" << (browse.flat ? " flat" : "") << " filter [" << ToUtf8(browse.filter)
                           << "] type " << browse.dataType << " rights " << browse.accessRights;
                       if (browse.path) out << " path [" << ToUtf8(*browse.path) << ']';
                   },
                   [&](const WatchArgs& watch) {
                       out << "watch";
                       for (const std::wstring& id : watch.items) item(id);
                       out << " rate " << watch.updateRateMs;
                       if (watch.seconds) out << " seconds " << *watch.seconds;
                       for (const TimedWrite& write : watch.writes) {
                           assignment(write.assignment);
                           out << " at " << write.atSeconds;
                       }
                   },
               },
               call.command);
    return out.str();
}

// A value parsed for writing as "R8 12.5", or "error: ...".
std::string ParsedFor(const wchar_t* text, VARTYPE type)
{
    const ParsedValue parsed = ParseValueForType(text, type);
    if (parsed.Ok()) return ToUtf8(VarTypeName(parsed.value->vt)) + " " + ToUtf8(DisplayValue(parsed.value.Ref()));
    CHECK(parsed.value->vt == VT_EMPTY);
    return "error: " + ToUtf8(parsed.error);
}

// A VARIANT of `type` whose value union holds `bits`: for integers, booleans, currency and
// errors the value itself.
UniqueVariant Of(VARTYPE type, LONGLONG bits = 0)
{
    VARIANT value{};
    value.vt = type;
    value.llVal = bits;
    return UniqueVariant::Adopt(value);
}

UniqueVariant Single(float number)
{
    UniqueVariant value = Of(VT_R4);
    value->fltVal = number;
    return value;
}

UniqueVariant Text(const wchar_t* text)
{
    UniqueVariant value = Of(VT_BSTR);
    value->bstrVal = text ? SysAllocString(text) : nullptr;
    return value;
}

template <class Element>
UniqueVariant Array(VARTYPE type, std::initializer_list<Element> elements)
{
    UniqueVariant value = Of(VT_ARRAY | type);
    value->parray = SafeArrayCreateVector(type, 0, static_cast<ULONG>(elements.size()));
    REQUIRE(value->parray);
    LONG index = 0;
    for (Element element : elements) {
        REQUIRE(SafeArrayPutElement(value->parray, &index, element) == S_OK);
        ++index;
    }
    return value;
}

std::string AsJson(const UniqueVariant& value)
{
    JsonWriter writer;
    writer.Variant(value.Ref());
    return ToUtf8(writer.Text());
}


}  // namespace

TEST_CASE("command line: global options stand before or after the command; after -- every argument is an item")
{
    CHECK(Parsed({L"status"}) == "status");
    CHECK(Parsed({L"--json", L"--server", L"{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}", L"status"}) ==
          "server {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4} json status");
    CHECK(Parsed({L"status", L"--server=Other.Server", L"--json"}) == "server Other.Server json status");
    CHECK(Parsed({L"read", L"\\\\.\\proc1\\Constant", L"B"}) == "read [\\\\.\\proc1\\Constant] [B]");
    CHECK(Parsed({L"--device", L"read", L"A"}) == "read device [A]");
    CHECK(Parsed({L"read", L"--", L"--device", L"-"}) == "read [--device] [-]");
    // An assignment splits at its first '='.
    CHECK(Parsed({L"write", L"\\\\.\\proc1\\Setpoint=12.5", L"Label=a=b", L"Empty="}) ==
          "write [\\\\.\\proc1\\Setpoint]=[12.5] [Label]=[a=b] [Empty]=[]");
    CHECK(Parsed({L"write", L"--read-back", L"A=1"}) == "write read-back [A]=[1]");
    CHECK(Parsed({L"props", L"A"}) == "props [A]");
    CHECK(Parsed({L"browse"}) == "browse filter [] type 0 rights 0");
    CHECK(Parsed({L"browse", L"--flat", L"--filter", L"*o*", L"--type", L"r8", L"--rights", L"rw", L"\\\\.\\proc1"}) ==
          "browse flat filter [*o*] type 5 rights 3 path [\\\\.\\proc1]");
    CHECK(Parsed({L"watch", L"A"}) == "watch [A] rate 1000");
    // A timed write's time follows its last '@', so the value may hold one.
    CHECK(Parsed({L"watch", L"A", L"B", L"--rate=100", L"--seconds", L"10", L"--write", L"L=running@5", L"--write",
                  L"S=a@b@2.5"}) == "watch [A] [B] rate 100 seconds 10 [L]=[running] at 5 [S]=[a@b] at 2.5");
    // Help wins over everything else.
    CHECK(Parsed({L"--help"}) == "help");
    CHECK(Parsed({L"read", L"-h"}) == "help");
    CHECK(Parsed({L"help"}) == "help");
}

TEST_CASE("command line: usage errors say what is wrong")
{
    CHECK(Parsed({}) == "error: no command given");
    CHECK(Parsed({L"frob"}) == "error: unknown command 'frob'");
    CHECK(Parsed({L"frob", L"--device"}) == "error: unknown command 'frob'");
    CHECK(Parsed({L"status", L"--bogus"}) == "error: unknown option '--bogus'");
    CHECK(Parsed({L"status", L"-x"}) == "error: unknown option '-x'");
    CHECK(Parsed({L"status", L"--server"}) == "error: option --server needs a value");
    CHECK(Parsed({L"status", L"--server="}) == "error: --server needs a ProgID or a CLSID");
    CHECK(Parsed({L"status", L"--json=yes"}) == "error: option --json takes no value");
    CHECK(Parsed({L"status", L"extra"}) == "error: status takes no arguments");
    CHECK(Parsed({L"read"}) == "error: read needs at least one item ID");
    CHECK(Parsed({L"read", L""}) == "error: an item ID cannot be empty");
    CHECK(Parsed({L"write", L"A=1", L"--device"}) == "error: option --device does not apply to write");
    CHECK(Parsed({L"read", L"A", L"--rate", L"5"}) == "error: option --rate does not apply to read");
    CHECK(Parsed({L"write"}) == "error: write needs at least one ITEM=VALUE");
    CHECK(Parsed({L"write", L"A"}) == "error: 'A' is not ITEM=VALUE");
    CHECK(Parsed({L"write", L"=5"}) == "error: '=5' is not ITEM=VALUE");
    CHECK(Parsed({L"props"}) == "error: props needs exactly one item ID");
    CHECK(Parsed({L"props", L"A", L"B"}) == "error: props needs exactly one item ID");
    CHECK(Parsed({L"browse", L"A", L"B"}) == "error: browse takes at most one path");
    CHECK(Parsed({L"browse", L"--type", L"FOO"}) ==
          "error: unknown data type 'FOO' (use a name such as R8, BSTR, BOOL or I4)");
    CHECK(Parsed({L"browse", L"--rights", L"x"}) == "error: access rights must be r, w or rw, not 'x'");
    for (const wchar_t* rate : {L"fast", L"-5", L"4294967296"}) {
        CHECK(Parsed({L"watch", L"A", L"--rate", rate}) ==
              "error: --rate needs a whole number of milliseconds, not '" + ToUtf8(rate) + "'");
    }
    for (const wchar_t* seconds : {L"0", L"inf"}) {
        CHECK(Parsed({L"watch", L"A", L"--seconds", seconds}) ==
              "error: --seconds needs a number of seconds above 0, not '" + ToUtf8(seconds) + "'");
    }
    CHECK(Parsed({L"watch", L"A", L"--rate", L"1", L"--rate", L"2"}) == "error: option --rate is given more than once");
    for (const wchar_t* write : {L"L=running", L"L=x@-1"}) {
        CHECK(Parsed({L"watch", L"A", L"--write", write}) ==
              "error: --write needs ITEM=VALUE@SECONDS, not '" + ToUtf8(write) + "'");
    }
    CHECK(Parsed({L"watch", L"A", L"--seconds", L"10", L"--write", L"L=x@10"}) ==
          "error: the write of L at 10 s would come after the watch ends at 10 s");
}

TEST_CASE("values for writing are parsed for the item's type, with the type's range")
{
    // R8: plain decimal and exponent notation, nothing that is not all number.
    CHECK(ParsedFor(L"12.5", VT_R8) == "R8 12.5");
    CHECK(ParsedFor(L"-3e2", VT_R8) == "R8 -300");
    CHECK(ParsedFor(L"+7", VT_R8) == "R8 7");
    CHECK(ParsedFor(L".5", VT_R8) == "R8 0.5");
    for (const wchar_t* text : {L"abc", L"", L"12.5x", L" 1", L"12,5", L"0x10", L"+-1"})
        CHECK(ParsedFor(text, VT_R8) == "error: \"" + ToUtf8(text) + "\" is not a number");
    CHECK(ParsedFor(L"\uFF11", VT_R8) == "error: \"\xEF\xBC\x91\" is not a number");
    CHECK(ParsedFor(L"1e999", VT_R8) == "error: \"1e999\" is out of range for R8");
    CHECK(ParsedFor(L"inf", VT_R8) == "error: \"inf\" is not a finite number");
    CHECK(ParsedFor(L"nan", VT_R8) == "error: \"nan\" is not a finite number");
    // BOOL: true, false, 1 and 0 in any case.
    for (const wchar_t* text : {L"true", L"TRUE", L"True", L"1"}) CHECK(ParsedFor(text, VT_BOOL) == "BOOL true");
    for (const wchar_t* text : {L"false", L"FALSE", L"0"}) CHECK(ParsedFor(text, VT_BOOL) == "BOOL false");
    for (const wchar_t* text : {L"yes", L"2"})
        CHECK(ParsedFor(text, VT_BOOL) == "error: \"" + ToUtf8(text) + "\" is not a boolean (true, false, 1 or 0)");
    // BSTR and an unknown type: the text as it is, an empty one too.
    CHECK(ParsedFor(L"hello world=@", VT_BSTR) == "BSTR \"hello world=@\"");
    CHECK(ParsedFor(L"12.5", VT_EMPTY) == "BSTR \"12.5\"");
    CHECK(ParseValueForType(L"", VT_BSTR).value->bstrVal != nullptr);
    // Other types are converted, with '.' as the decimal point whatever the user's locale.
    CHECK(ParsedFor(L"7", VT_I4) == "I4 7");
    CHECK(ParsedFor(L"255", VT_UI1) == "UI1 255");
    CHECK(ParsedFor(L"0.5", VT_R4) == "R4 0.5");
    CHECK(ParsedFor(L"70000", VT_I2) == "error: \"70000\" is out of range for I2");
    CHECK(ParsedFor(L"256", VT_UI1) == "error: \"256\" is out of range for UI1");
    CHECK(ParsedFor(L"abc", VT_I4) == "error: \"abc\" cannot be converted to I4 (0x80020005)");
}

TEST_CASE("JSON: escapes, numbers it cannot carry, punctuation and values by type")
{
    CHECK(ToUtf8(JsonString(L"say \"hi\" \\")) == R"("say \"hi\" \\")");
    CHECK(ToUtf8(JsonString(L"a\nb\tc\r\b\f")) == R"("a\nb\tc\r\b\f")");
    CHECK(ToUtf8(JsonString(std::wstring(L"\x01\x1f\0", 3))) == R"("\u0001\u001f\u0000")");
    CHECK(ToUtf8(JsonString(L"caf\u00e9\U0001F600")) == "\"caf\xC3\xA9\xF0\x9F\x98\x80\"");
    // What UTF-8 cannot carry (lone surrogates), and what breaks JavaScript, is escaped.
    CHECK(ToUtf8(JsonString(std::wstring(1, wchar_t(0xD800)))) == R"("\ud800")");
    CHECK(ToUtf8(JsonString(std::wstring(1, wchar_t(0xDC00)) + L"x")) == R"("\udc00x")");
    CHECK(ToUtf8(JsonString(L"\u2028")) == R"("\u2028")");

    CHECK(ToUtf8(JsonNumber(-3)) == "-3");
    CHECK(ToUtf8(JsonNumber(1e21)) == "1e+21");
    CHECK(ToUtf8(JsonNumber(std::numeric_limits<double>::quiet_NaN())) == "null");
    CHECK(ToUtf8(JsonNumber(std::numeric_limits<double>::infinity())) == "null");

    JsonWriter json;
    json.BeginObject();
    json.Key(L"a").Integer(1);
    json.Key(L"b").BeginArray().Bool(true).Null().String(L"x").EndArray();
    json.Key(L"c").BeginObject().EndObject();
    json.Key(L"d").BeginArray().BeginObject().Key(L"e").Unsigned(4294967295u).EndObject().BeginArray().EndArray().EndArray();
    json.Key(L"f").StringOrNull(L"");
    json.EndObject();
    CHECK(ToUtf8(json.Text()) == R"({"a":1,"b":[true,null,"x"],"c":{},"d":[{"e":4294967295},[]],"f":null})");

    CHECK(AsJson(UniqueVariant()) == "null");
    double one = 1, twoAndAHalf = 2.5;
    CHECK(AsJson(Array(VT_R8, {&one, &twoAndAHalf})) == "[1,2.5]");
    CHECK(AsJson(Of(VT_BOOL, VARIANT_TRUE)) == "true");
    CHECK(AsJson(Single(0.1f)) == "0.1");
    CHECK(AsJson(Single(std::numeric_limits<float>::infinity())) == "null");
    CHECK(AsJson(Of(VT_CY, -125000)) == "-12.5");
    CHECK(AsJson(Of(VT_UI4, 4000000000u)) == "4000000000");
    CHECK(AsJson(Of(VT_ERROR, E_FAIL)) == R"("error 0x80004005")");

    JsonWriter never;
    never.BeginObject();
    JsonValueMembers(never, UniqueVariant().Ref(), 0x1C, FILETIME{});
    never.EndObject();
    CHECK(ToUtf8(never.Text()) ==
          R"j({"value":null,"type":"EMPTY","quality":"bad (out of service)","qualityCode":28,"timestamp":null})j");
}

TEST_CASE("command line: --context says where the server is created")
{
    const auto context = [](std::vector<std::wstring> arguments) -> std::string {
        arguments.insert(arguments.begin(), L"status");
        const ParsedCommandLine parsed = ParseCommandLine(arguments);
        if (!parsed.invocation) return "error: " + ToUtf8(parsed.error);
        const ServerContext& c = parsed.invocation->context;
        return std::to_string(c.classContext) + (c.host.empty() ? "" : " " + ToUtf8(c.host));
    };
    CHECK(context({}) == std::to_string(CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER));
    CHECK(context({L"--context", L"inproc"}) == std::to_string(CLSCTX_INPROC_SERVER));
    CHECK(context({L"--context=local"}) == std::to_string(CLSCTX_LOCAL_SERVER));
    CHECK(context({L"--context", L"any"}) == std::to_string(CLSCTX_ALL));
    CHECK(context({L"--context", L"remote", L"plant7"}) == std::to_string(CLSCTX_REMOTE_SERVER) + " plant7");
    CHECK(context({L"--context", L"remote"}) == "error: --context remote needs a computer name");
    CHECK(context({L"--context", L"nearby"}) ==
          "error: --context must be inproc, local, remote HOST or any, not 'nearby'");
}
