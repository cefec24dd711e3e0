// The parts of opcq that need no server: the command line, values parsed for writing,
// the text and JSON forms of values, qualities and timestamps, and the trend.

#include "CommandLine.h"
#include "Json.h"
#include "Report.h"
#include "Trend.h"
#include "Values.h"

#include <doctest.h>
#include <opcda.h>

#include <cmath>
#include <limits>

using namespace opcq;

namespace {

ParsedCommandLine Parse(std::initializer_list<const wchar_t*> arguments)
{
    std::vector<std::wstring> list;
    for (const wchar_t* argument : arguments) list.emplace_back(argument);
    return ParseCommandLine(list);
}

std::string ParseError(std::initializer_list<const wchar_t*> arguments)
{
    const ParsedCommandLine parsed = Parse(arguments);
    REQUIRE_FALSE(parsed.invocation);
    return ToUtf8(parsed.error);
}

template <class Args>
Args ParseAs(std::initializer_list<const wchar_t*> arguments)
{
    const ParsedCommandLine parsed = Parse(arguments);
    INFO("error: " << ToUtf8(parsed.error));
    REQUIRE(parsed.invocation);
    REQUIRE(std::holds_alternative<Args>(parsed.invocation->command));
    return std::get<Args>(parsed.invocation->command);
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

UniqueVariant Double(double number)
{
    UniqueVariant value = Of(VT_R8);
    value->dblVal = number;
    return value;
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

UniqueVariant DoubleArray(std::initializer_list<double> numbers)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(numbers.size()));
    REQUIRE(array);
    LONG index = 0;
    for (double number : numbers) {
        REQUIRE(SafeArrayPutElement(array, &index, &number) == S_OK);
        ++index;
    }
    UniqueVariant value = Of(VT_ARRAY | VT_R8);
    value->parray = array;
    return value;
}

std::string ParsedError(const wchar_t* text, VARTYPE type) { return ToUtf8(ParseValueForType(text, type).error); }

std::string Formatted(const UniqueVariant& value)
{
    return ToUtf8(FormatValue(value.Ref()));
}

FILETIME UtcTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD milliseconds)
{
    const SYSTEMTIME time{year, month, 0, day, hour, minute, second, milliseconds};
    FILETIME result{};
    REQUIRE(SystemTimeToFileTime(&time, &result));
    return result;
}

}  // namespace

TEST_SUITE("command line") {

TEST_CASE("status uses the default server; global options stand before or after the command")
{
    const ParsedCommandLine parsed = Parse({L"status"});
    REQUIRE(parsed.invocation);
    CHECK(parsed.invocation->server == L"Orvane.TarnwellOPCServer");
    CHECK_FALSE(parsed.invocation->json);
    CHECK(std::holds_alternative<StatusArgs>(parsed.invocation->command));

    const ParsedCommandLine before = Parse({L"--json", L"--server", L"{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}", L"status"});
    REQUIRE(before.invocation);
    CHECK(before.invocation->json);
    CHECK(before.invocation->server == L"{7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}");

    const ParsedCommandLine after = Parse({L"status", L"--server=Other.Server", L"--json"});
    REQUIRE(after.invocation);
    CHECK(after.invocation->json);
    CHECK(after.invocation->server == L"Other.Server");
}

TEST_CASE("read takes items in order and --device anywhere; after -- every argument is an item")
{
    const ReadArgs cache = ParseAs<ReadArgs>({L"read", L"\\\\.\\proc1\\Constant", L"\\\\.\\proc1\\Label"});
    CHECK_FALSE(cache.fromDevice);
    CHECK(cache.items == std::vector<std::wstring>{L"\\\\.\\proc1\\Constant", L"\\\\.\\proc1\\Label"});

    const ReadArgs device = ParseAs<ReadArgs>({L"--device", L"read", L"A"});
    CHECK(device.fromDevice);
    CHECK(device.items == std::vector<std::wstring>{L"A"});

    const ReadArgs read = ParseAs<ReadArgs>({L"read", L"--", L"--device", L"-"});
    CHECK_FALSE(read.fromDevice);
    CHECK(read.items == std::vector<std::wstring>{L"--device", L"-"});
}

TEST_CASE("write splits each assignment at its first '='")
{
    const WriteArgs write = ParseAs<WriteArgs>({L"write", L"\\\\.\\proc1\\Setpoint=12.5", L"Label=a=b", L"Empty="});
    REQUIRE(write.assignments.size() == 3);
    CHECK(write.assignments[0].item == L"\\\\.\\proc1\\Setpoint");
    CHECK(write.assignments[0].value == L"12.5");
    CHECK(write.assignments[1].item == L"Label");
    CHECK(write.assignments[1].value == L"a=b");
    CHECK(write.assignments[2].item == L"Empty");
    CHECK(write.assignments[2].value == L"");
    CHECK_FALSE(write.readBack);
    CHECK(ParseAs<WriteArgs>({L"write", L"--read-back", L"A=1"}).readBack);
}

TEST_CASE("browse options and path")
{
    const BrowseArgs plain = ParseAs<BrowseArgs>({L"browse"});
    CHECK_FALSE(plain.flat);
    CHECK_FALSE(plain.path);
    CHECK(plain.dataType == VT_EMPTY);
    CHECK(plain.accessRights == 0);

    const BrowseArgs full = ParseAs<BrowseArgs>(
        {L"browse", L"--flat", L"--filter", L"*o*", L"--type", L"r8", L"--rights", L"rw", L"\\\\.\\proc1"});
    CHECK(full.flat);
    CHECK(full.filter == L"*o*");
    CHECK(full.dataType == VT_R8);
    CHECK(full.accessRights == static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
    REQUIRE(full.path);
    CHECK(*full.path == L"\\\\.\\proc1");
}

TEST_CASE("watch defaults, rate, duration and timed writes")
{
    const WatchArgs plain = ParseAs<WatchArgs>({L"watch", L"A"});
    CHECK(plain.updateRateMs == 1000);
    CHECK_FALSE(plain.seconds);
    CHECK(plain.writes.empty());

    const WatchArgs full = ParseAs<WatchArgs>({L"watch", L"A", L"B", L"--rate=100", L"--seconds", L"10", L"--write",
                                               L"\\\\.\\proc1\\Label=running@5", L"--write", L"S=a@b@2.5"});
    CHECK(full.items == std::vector<std::wstring>{L"A", L"B"});
    CHECK(full.updateRateMs == 100);
    REQUIRE(full.seconds);
    CHECK(*full.seconds == 10.0);
    REQUIRE(full.writes.size() == 2);
    CHECK(full.writes[0].assignment.item == L"\\\\.\\proc1\\Label");
    CHECK(full.writes[0].assignment.value == L"running");
    CHECK(full.writes[0].atSeconds == 5.0);
    // The last '@' separates the time, so the value may hold one.
    CHECK(full.writes[1].assignment.value == L"a@b");
    CHECK(full.writes[1].atSeconds == 2.5);
}

TEST_CASE("help wins over everything else")
{
    CHECK(std::holds_alternative<HelpArgs>(Parse({L"--help"}).invocation->command));
    CHECK(std::holds_alternative<HelpArgs>(Parse({L"read", L"-h"}).invocation->command));
    CHECK(std::holds_alternative<HelpArgs>(Parse({L"help"}).invocation->command));
}

TEST_CASE("usage errors say what is wrong")
{
    CHECK(ParseError({}) == "no command given");
    CHECK(ParseError({L"frob"}) == "unknown command 'frob'");
    CHECK(ParseError({L"frob", L"--device"}) == "unknown command 'frob'");
    CHECK(ParseError({L"status", L"--bogus"}) == "unknown option '--bogus'");
    CHECK(ParseError({L"status", L"-x"}) == "unknown option '-x'");
    CHECK(ParseError({L"status", L"--server"}) == "option --server needs a value");
    CHECK(ParseError({L"status", L"--server="}) == "--server needs a ProgID or a CLSID");
    CHECK(ParseError({L"status", L"--json=yes"}) == "option --json takes no value");
    CHECK(ParseError({L"status", L"extra"}) == "status takes no arguments");
    CHECK(ParseError({L"read"}) == "read needs at least one item ID");
    CHECK(ParseError({L"read", L""}) == "an item ID cannot be empty");
    CHECK(ParseError({L"write", L"A=1", L"--device"}) == "option --device does not apply to write");
    CHECK(ParseError({L"read", L"A", L"--rate", L"5"}) == "option --rate does not apply to read");
    CHECK(ParseError({L"write"}) == "write needs at least one ITEM=VALUE");
    CHECK(ParseError({L"write", L"A"}) == "'A' is not ITEM=VALUE");
    CHECK(ParseError({L"write", L"=5"}) == "'=5' is not ITEM=VALUE");
    CHECK(ParseError({L"props"}) == "props needs exactly one item ID");
    CHECK(ParseError({L"props", L"A", L"B"}) == "props needs exactly one item ID");
    CHECK(ParseError({L"browse", L"A", L"B"}) == "browse takes at most one path");
    CHECK(ParseError({L"browse", L"--type", L"FOO"}) ==
          "unknown data type 'FOO' (use a name such as R8, BSTR, BOOL or I4)");
    CHECK(ParseError({L"browse", L"--rights", L"x"}) == "access rights must be r, w or rw, not 'x'");
    CHECK(ParseError({L"watch", L"A", L"--rate", L"fast"}) == "--rate needs a whole number of milliseconds, not 'fast'");
    CHECK(ParseError({L"watch", L"A", L"--rate", L"-5"}) == "--rate needs a whole number of milliseconds, not '-5'");
    CHECK(ParseError({L"watch", L"A", L"--rate", L"4294967296"}) ==
          "--rate needs a whole number of milliseconds, not '4294967296'");
    CHECK(ParseError({L"watch", L"A", L"--seconds", L"0"}) == "--seconds needs a number of seconds above 0, not '0'");
    CHECK(ParseError({L"watch", L"A", L"--seconds", L"inf"}) ==
          "--seconds needs a number of seconds above 0, not 'inf'");
    CHECK(ParseError({L"watch", L"A", L"--rate", L"1", L"--rate", L"2"}) == "option --rate is given more than once");
    CHECK(ParseError({L"watch", L"A", L"--write", L"L=running"}) == "--write needs ITEM=VALUE@SECONDS, not 'L=running'");
    CHECK(ParseError({L"watch", L"A", L"--write", L"L=x@-1"}) == "--write needs ITEM=VALUE@SECONDS, not 'L=x@-1'");
    CHECK(ParseError({L"watch", L"A", L"--seconds", L"10", L"--write", L"L=x@10"}) ==
          "the write of L at 10 s would come after the watch ends at 10 s");
}

}  // TEST_SUITE

TEST_SUITE("values for writing") {

TEST_CASE("R8 takes plain decimal and exponent notation and refuses anything that is not all number")
{
    ParsedValue parsed = ParseValueForType(L"12.5", VT_R8);
    REQUIRE(parsed.Ok());
    CHECK(parsed.value->vt == VT_R8);
    CHECK(parsed.value->dblVal == 12.5);
    CHECK(ParseValueForType(L"-3e2", VT_R8).value->dblVal == -300.0);
    CHECK(ParseValueForType(L"+7", VT_R8).value->dblVal == 7.0);
    CHECK(ParseValueForType(L".5", VT_R8).value->dblVal == 0.5);

    for (const wchar_t* text : {L"abc", L"", L"12.5x", L" 1", L"12,5", L"0x10", L"+-1"}) {
        CHECK(ParsedError(text, VT_R8) == "\"" + ToUtf8(text) + "\" is not a number");
    }
    CHECK(ParsedError(L"\uFF11", VT_R8) == "\"\xEF\xBC\x91\" is not a number");
    CHECK(ParsedError(L"1e999", VT_R8) == "\"1e999\" is out of range for R8");
    CHECK(ParsedError(L"inf", VT_R8) == "\"inf\" is not a finite number");
    CHECK(ParsedError(L"nan", VT_R8) == "\"nan\" is not a finite number");
    CHECK(ParseValueForType(L"abc", VT_R8).value->vt == VT_EMPTY);
}

TEST_CASE("BOOL takes true, false, 1 and 0 in any case")
{
    for (const wchar_t* text : {L"true", L"TRUE", L"True", L"1"}) {
        ParsedValue parsed = ParseValueForType(text, VT_BOOL);
        REQUIRE(parsed.Ok());
        CHECK(parsed.value->vt == VT_BOOL);
        CHECK(parsed.value->boolVal == VARIANT_TRUE);
    }
    for (const wchar_t* text : {L"false", L"FALSE", L"0"}) {
        ParsedValue parsed = ParseValueForType(text, VT_BOOL);
        REQUIRE(parsed.Ok());
        CHECK(parsed.value->boolVal == VARIANT_FALSE);
    }
    for (const wchar_t* text : {L"yes", L"2"}) {
        CHECK(ParsedError(text, VT_BOOL) == "\"" + ToUtf8(text) + "\" is not a boolean (true, false, 1 or 0)");
    }
}

TEST_CASE("BSTR and an unknown type take the text as it is")
{
    ParsedValue text = ParseValueForType(L"hello world=@", VT_BSTR);
    REQUIRE(text.Ok());
    CHECK(text.value->vt == VT_BSTR);
    CHECK(std::wstring(text.value->bstrVal) == L"hello world=@");

    ParsedValue empty = ParseValueForType(L"", VT_BSTR);
    REQUIRE(empty.Ok());
    REQUIRE(empty.value->bstrVal);
    CHECK(SysStringLen(empty.value->bstrVal) == 0);

    ParsedValue untyped = ParseValueForType(L"12.5", VT_EMPTY);
    REQUIRE(untyped.Ok());
    CHECK(untyped.value->vt == VT_BSTR);
    CHECK(std::wstring(untyped.value->bstrVal) == L"12.5");
}

TEST_CASE("other types are converted from the text, with the type's range")
{
    ParsedValue integer = ParseValueForType(L"7", VT_I4);
    REQUIRE(integer.Ok());
    CHECK(integer.value->vt == VT_I4);
    CHECK(integer.value->lVal == 7);
    CHECK(ParseValueForType(L"255", VT_UI1).value->bVal == 255);

    // The decimal point is '.' whatever the user's locale.
    ParsedValue single = ParseValueForType(L"0.5", VT_R4);
    REQUIRE(single.Ok());
    CHECK(single.value->vt == VT_R4);
    CHECK(single.value->fltVal == 0.5f);

    CHECK(ParsedError(L"70000", VT_I2) == "\"70000\" is out of range for I2");
    CHECK(ParsedError(L"256", VT_UI1) == "\"256\" is out of range for UI1");
    CHECK(ParsedError(L"abc", VT_I4) == "\"abc\" cannot be converted to I4 (0x80020005)");
}

}  // TEST_SUITE

TEST_SUITE("value text") {

TEST_CASE("numbers in their shortest exact form; currency with its four decimals, without trailing zeros")
{
    CHECK(Formatted(Double(12.5)) == "12.5");
    CHECK(Formatted(Double(42.0)) == "42");
    CHECK(Formatted(Double(0.1)) == "0.1");
    CHECK(Formatted(Double(-0.25)) == "-0.25");
    CHECK(Formatted(Double(1e21)) == "1e+21");

    CHECK(Formatted(Single(0.1f)) == "0.1");
    CHECK(Formatted(Of(VT_I4, -5)) == "-5");
    CHECK(Formatted(Of(VT_UI4, 4294967295u)) == "4294967295");
    CHECK(Formatted(Of(VT_I1, -1)) == "-1");
    CHECK(Formatted(Of(VT_I8, -9007199254740993LL)) == "-9007199254740993");

    CHECK(Formatted(Of(VT_CY, 125000)) == "12.5");
    CHECK(Formatted(Of(VT_CY, -1)) == "-0.0001");
    CHECK(Formatted(Of(VT_CY, 30000)) == "3");
}

TEST_CASE("booleans, text, empty, null and errors")
{
    CHECK(Formatted(Of(VT_BOOL, VARIANT_TRUE)) == "true");
    CHECK(Formatted(Of(VT_BOOL, VARIANT_FALSE)) == "false");

    CHECK(Formatted(Text(L"ready")) == "ready");
    CHECK(Formatted(Text(nullptr)) == "");
    CHECK(ToUtf8(DisplayValue(Text(L"ready").Ref())) == "\"ready\"");
    CHECK(ToUtf8(DisplayValue(Text(L"").Ref())) == "\"\"");
    CHECK(ToUtf8(DisplayValue(Double(1.5).Ref())) == "1.5");

    CHECK(Formatted(Of(VT_EMPTY)) == "(empty)");
    CHECK(Formatted(Of(VT_NULL)) == "(null)");
    CHECK(Formatted(Of(VT_ERROR, E_FAIL)) == "error 0x80004005");
}

TEST_CASE("arrays list their elements, text quoted")
{
    CHECK(Formatted(DoubleArray({1.0, 2.5})) == "[1, 2.5]");
    CHECK(Formatted(DoubleArray({})) == "[]");

    UniqueVariant texts = Of(VT_ARRAY | VT_BSTR);
    texts->parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    REQUIRE(texts->parray);
    LONG index = 0;
    for (const wchar_t* text : {L"a", L"b c"}) {
        REQUIRE(SafeArrayPutElement(texts->parray, &index, Text(text)->bstrVal) == S_OK);
        ++index;
    }
    CHECK(Formatted(texts) == "[\"a\", \"b c\"]");
}

TEST_CASE("only number types count as numeric; data type names both ways")
{
    CHECK(NumericValue(Double(2.5).Ref()) == 2.5);
    CHECK(NumericValue(Of(VT_I2, -3).Ref()) == -3.0);
    CHECK_FALSE(NumericValue(Of(VT_BOOL, VARIANT_TRUE).Ref()));
    CHECK_FALSE(NumericValue(Text(L"1").Ref()));
    CHECK_FALSE(NumericValue(UniqueVariant().Ref()));

    CHECK(ToUtf8(VarTypeName(VT_R8)) == "R8");
    CHECK(ToUtf8(VarTypeName(VT_BSTR)) == "BSTR");
    CHECK(ToUtf8(VarTypeName(VT_BOOL)) == "BOOL");
    CHECK(ToUtf8(VarTypeName(VT_I4)) == "I4");
    CHECK(ToUtf8(VarTypeName(VT_EMPTY)) == "EMPTY");
    CHECK(ToUtf8(VarTypeName(VT_ARRAY | VT_R8)) == "R8[]");
    CHECK(ToUtf8(VarTypeName(72)) == "72");
    CHECK(ToUtf8(VarTypeName(VT_BYREF | VT_R8)) == "16389");

    CHECK(ParseVarTypeName(L"R8") == VARTYPE{VT_R8});
    CHECK(ParseVarTypeName(L"r8") == VARTYPE{VT_R8});
    CHECK(ParseVarTypeName(L"VT_BSTR") == VARTYPE{VT_BSTR});
    CHECK(ParseVarTypeName(L"bool") == VARTYPE{VT_BOOL});
    CHECK(ParseVarTypeName(L"R8[]") == VARTYPE{VT_ARRAY | VT_R8});
    CHECK(ParseVarTypeName(L"5") == VARTYPE{VT_R8});
    CHECK_FALSE(ParseVarTypeName(L""));
    CHECK_FALSE(ParseVarTypeName(L"VT_"));
    CHECK_FALSE(ParseVarTypeName(L"FOO"));
    CHECK_FALSE(ParseVarTypeName(L"70000"));
    CHECK_FALSE(ParseVarTypeName(L"5[]"));
}

TEST_CASE("access rights both ways")
{
    CHECK(ParseAccessRights(L"r") == DWORD{OPC_READABLE});
    CHECK(ParseAccessRights(L"W") == DWORD{OPC_WRITEABLE});
    CHECK(ParseAccessRights(L"rw") == DWORD{OPC_READABLE | OPC_WRITEABLE});
    CHECK(ParseAccessRights(L"wr") == DWORD{OPC_READABLE | OPC_WRITEABLE});
    CHECK_FALSE(ParseAccessRights(L""));
    CHECK_FALSE(ParseAccessRights(L"x"));
    CHECK_FALSE(ParseAccessRights(L"rwx"));
    CHECK(ToUtf8(AccessRightsName(0)) == "-");
    CHECK(ToUtf8(AccessRightsName(OPC_READABLE)) == "r");
    CHECK(ToUtf8(AccessRightsName(OPC_READABLE | OPC_WRITEABLE)) == "rw");
}

TEST_CASE("quality names: major quality, substatus and limit")
{
    CHECK(ToUtf8(QualityName(0xC0)) == "good");
    CHECK(ToUtf8(QualityName(0x00)) == "bad");
    CHECK(ToUtf8(QualityName(0x1C)) == "bad (out of service)");
    CHECK(ToUtf8(QualityName(0x18)) == "bad (communication failure)");
    CHECK(ToUtf8(QualityName(0x44)) == "uncertain (last usable value)");
    CHECK(ToUtf8(QualityName(0xD8)) == "good (local override)");
    CHECK(ToUtf8(QualityName(0xC1)) == "good (low limited)");
    CHECK(ToUtf8(QualityName(0x56)) == "uncertain (engineering units exceeded, high limited)");
    CHECK(ToUtf8(QualityName(0x03)) == "bad (constant)");
    CHECK(ToUtf8(QualityName(0x80)) == "invalid");
    CHECK(ToUtf8(QualityName(0xC8)) == "good (substatus 2)");

    CHECK(ToUtf8(QualityText(0xC0)) == "good 0xC0");
    CHECK(ToUtf8(QualityText(0x1C)) == "bad (out of service) 0x1C");
    CHECK(ToUtf8(QualityText(0x00)) == "bad 0x00");
    // The vendor byte is not named but shows in the number.
    CHECK(ToUtf8(QualityText(0x12C0)) == "good 0x12C0");
}

TEST_CASE("timestamps are ISO 8601 UTC with milliseconds")
{
    CHECK(ToUtf8(FormatUtcTimestamp(UtcTime(2024, 5, 1, 12, 34, 56, 789))) == "2024-05-01T12:34:56.789Z");
    CHECK(ToUtf8(FormatUtcTimestamp(UtcTime(1999, 12, 31, 23, 59, 59, 0))) == "1999-12-31T23:59:59.000Z");
    CHECK(ToUtf8(FormatUtcTimestamp(FILETIME{10000, 0})) == "1601-01-01T00:00:00.001Z");
    CHECK(FormatUtcTimestamp(FILETIME{0, 0}).empty());
}

TEST_CASE("codes, error texts and UTF-8")
{
    CHECK(ToUtf8(HResultHex(OPC_E_UNKNOWNITEMID)) == "0xC0040007");
    CHECK(ToUtf8(HResultHex(S_OK)) == "0x00000000");
    CHECK(ToUtf8(SingleLine(L"The server does not support the requested data rate \r\nbut will use it.\r\n")) ==
          "The server does not support the requested data rate but will use it.");
    CHECK(ToUtf8(SingleLine(L"  a\t b  ")) == "a b");
    CHECK(SingleLine(L" \r\n").empty());
    CHECK(ToUtf8(FormatCompactNumber(0.917754625)) == "0.9178");
    CHECK(ToUtf8(FormatCompactNumber(39)) == "39");
    CHECK(ToUtf8(FormatCompactNumber(123456)) == "1.235e+05");
}

TEST_CASE("item results read alike everywhere")
{
    CHECK(ToUtf8(ValueDetails(Double(42).Ref(), 0xC0, UtcTime(2024, 5, 1, 12, 0, 0, 5))) ==
          "42 (R8, good 0xC0, 2024-05-01T12:00:00.005Z)");
    CHECK(ToUtf8(ValueDetails(Text(L"ready").Ref(), 0x1C, FILETIME{})) ==
          "\"ready\" (BSTR, bad (out of service) 0x1C, no timestamp)");
    CHECK(ToUtf8(ItemErrorLine(L"\\\\.\\X", OPC_E_UNKNOWNITEMID, L"Unknown item.")) ==
          "\\\\.\\X: error 0xC0040007 Unknown item.");
    CHECK(ToUtf8(CodeWithText(E_FAIL, L"")) == "0x80004005");

    CHECK(ToUtf8(L"\u00e9\u20ac") == "\xC3\xA9\xE2\x82\xAC");
    CHECK(FromUtf8("\xC3\xA9\xE2\x82\xAC") == L"\u00e9\u20ac");
    CHECK(ToUtf8(L"").empty());
}

}  // TEST_SUITE

TEST_SUITE("JSON") {

TEST_CASE("strings escape quotes, backslashes and control characters, and what UTF-8 cannot carry")
{
    CHECK(ToUtf8(JsonString(L"\\\\.\\proc1\\Label")) == R"("\\\\.\\proc1\\Label")");
    CHECK(ToUtf8(JsonString(L"say \"hi\"")) == R"("say \"hi\"")");
    CHECK(ToUtf8(JsonString(L"a\nb\tc\r\b\f")) == R"("a\nb\tc\r\b\f")");
    CHECK(ToUtf8(JsonString(std::wstring(L"\x01\x1f", 2))) == R"("\u0001\u001f")");
    CHECK(ToUtf8(JsonString(std::wstring(1, L'\0'))) == R"("\u0000")");
    CHECK(ToUtf8(JsonString(L"")) == R"("")");

    CHECK(ToUtf8(JsonString(L"caf\u00e9")) == "\"caf\xC3\xA9\"");
    CHECK(ToUtf8(JsonString(L"\U0001F600")) == "\"\xF0\x9F\x98\x80\"");
    CHECK(ToUtf8(JsonString(std::wstring(1, wchar_t(0xD800)))) == R"("\ud800")");
    CHECK(ToUtf8(JsonString(std::wstring(1, wchar_t(0xDC00)) + L"x")) == R"("\udc00x")");
    CHECK(ToUtf8(JsonString(L"\u2028")) == R"("\u2028")");
}

TEST_CASE("numbers JSON cannot carry become null")
{
    CHECK(ToUtf8(JsonNumber(12.5)) == "12.5");
    CHECK(ToUtf8(JsonNumber(-3)) == "-3");
    CHECK(ToUtf8(JsonNumber(1e21)) == "1e+21");
    CHECK(ToUtf8(JsonNumber(std::numeric_limits<double>::quiet_NaN())) == "null");
    CHECK(ToUtf8(JsonNumber(std::numeric_limits<double>::infinity())) == "null");
}

TEST_CASE("the writer places commas and colons")
{
    JsonWriter json;
    json.BeginObject();
    json.Key(L"a").Integer(1);
    json.Key(L"b").BeginArray().Bool(true).Null().String(L"x").EndArray();
    json.Key(L"c").BeginObject().EndObject();
    json.Key(L"d").BeginArray().BeginObject().Key(L"e").Unsigned(4294967295u).EndObject().BeginArray().EndArray().EndArray();
    json.Key(L"f").StringOrNull(L"");
    json.EndObject();
    CHECK(ToUtf8(json.Text()) == R"({"a":1,"b":[true,null,"x"],"c":{},"d":[{"e":4294967295},[]],"f":null})");
}

TEST_CASE("values by type")
{
    auto json = [](const UniqueVariant& value) {
        JsonWriter writer;
        writer.Variant(value.Ref());
        return ToUtf8(writer.Text());
    };
    CHECK(json(Double(12.5)) == "12.5");
    CHECK(json(Text(L"a\"b")) == R"("a\"b")");
    CHECK(json(UniqueVariant()) == "null");
    CHECK(json(DoubleArray({1, 2.5})) == "[1,2.5]");

    CHECK(json(Of(VT_BOOL, VARIANT_TRUE)) == "true");
    CHECK(json(Single(0.1f)) == "0.1");
    CHECK(json(Single(std::numeric_limits<float>::infinity())) == "null");
    CHECK(json(Of(VT_CY, -125000)) == "-12.5");
    CHECK(json(Of(VT_UI4, 4000000000u)) == "4000000000");
    CHECK(json(Of(VT_ERROR, E_FAIL)) == R"("error 0x80004005")");
}

TEST_CASE("item members: value, type, quality and timestamp, or an error")
{
    JsonWriter good;
    good.BeginObject();
    JsonValueMembers(good, Double(42).Ref(), 0xC0, UtcTime(2024, 5, 1, 12, 0, 0, 0));
    good.EndObject();
    CHECK(ToUtf8(good.Text()) ==
          R"({"value":42,"type":"R8","quality":"good","qualityCode":192,"timestamp":"2024-05-01T12:00:00.000Z"})");

    JsonWriter never;
    never.BeginObject();
    JsonValueMembers(never, UniqueVariant().Ref(), 0x1C, FILETIME{});
    never.EndObject();
    CHECK(ToUtf8(never.Text()) ==
          R"j({"value":null,"type":"EMPTY","quality":"bad (out of service)","qualityCode":28,"timestamp":null})j");

    JsonWriter failed;
    failed.BeginObject();
    JsonErrorMember(failed, OPC_E_BADRIGHTS, L"No rights.");
    JsonErrorMember(failed, std::nullopt, L"\"x\" is not a number");
    failed.EndObject();
    CHECK(ToUtf8(failed.Text()) ==
          R"({"error":{"hresult":"0xC0040006","text":"No rights."},"error":{"hresult":null,"text":"\"x\" is not a number"}})");
}

}  // TEST_SUITE

TEST_SUITE("trend") {

TEST_CASE("a sparkline spans the smallest to the largest sample; a flat series sits in the middle, gaps stay blank")
{
    CHECK(Sparkline({0, 1, 2, 3, 4, 5, 6, 7}, SparkStyle::Ascii) == L"_.-:=+*#");
    CHECK(Sparkline({-1, 1}, SparkStyle::Blocks) == L"\u2581\u2588");
    CHECK(Sparkline({10, 20, 15}, SparkStyle::Ascii) == L"_#=");
    CHECK(Sparkline({}, SparkStyle::Ascii).empty());

    CHECK(Sparkline({5, 5, 5}, SparkStyle::Ascii) == L":::");
    const double gap = std::numeric_limits<double>::quiet_NaN();
    CHECK(Sparkline({gap, 0, 1}, SparkStyle::Ascii) == L" _#");
    CHECK(Sparkline({gap}, SparkStyle::Ascii) == L" ");
}

TEST_CASE("a trend keeps the newest samples up to its capacity")
{
    Trend trend(3);
    CHECK_FALSE(trend.HasValue());
    trend.Sample();  // before any value: a gap
    REQUIRE(trend.Samples().size() == 1);
    CHECK(std::isnan(trend.Samples()[0]));
    CHECK(std::isnan(trend.Minimum()));

    for (double value : {4.0, 1.0, 9.0}) {
        trend.Update(value);
        trend.Sample();
    }
    CHECK(trend.Samples() == std::deque<double>{4, 1, 9});
    trend.Update(2);
    CHECK(trend.Current() == 2);
    // The current value counts before it is sampled.
    CHECK(trend.Minimum() == 1);
    CHECK(trend.Maximum() == 9);
    trend.Sample();
    CHECK(trend.Samples() == std::deque<double>{1, 9, 2});
}

}  // TEST_SUITE
