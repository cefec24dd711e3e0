// opcq against the registered server: each case runs opcq.exe (beside this program) as a
// child process and checks its exit code and what it printed, with times and the version
// replaced by placeholders so that whole outputs can be compared.

#include "ChildProcess.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using twopc::test::ChildRun;

// Times and the version replaced by placeholders.
std::string Masked(const std::string& text)
{
    static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?Z?)");
    static const std::regex version(R"(\b\d+\.\d+\.\d+\b)");
    return std::regex_replace(std::regex_replace(text, time, "<time>"), version, "<version>");
}

// Runs opcq with `arguments` (already quoted where needed).
ChildRun Opcq(const std::wstring& arguments)
{
    ChildRun run = twopc::test::RunChild(L"\"" + twopc::test::OwnDirectory() + L"opcq.exe\" " + arguments);
    run.out = Masked(run.out);
    run.err = Masked(run.err);
    return run;
}

// Runs opcq, checks its exit code and returns what it printed on standard output.
std::string Printed(const std::wstring& arguments, DWORD exitCode)
{
    ChildRun run = Opcq(arguments);
    INFO(run.out << run.err);
    CHECK(run.exitCode == exitCode);
    return run.out;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// Where `line` first occurs in `lines` from `from` on; lines.size() when it does not.
std::size_t Find(const std::vector<std::string>& lines, const std::string& line, std::size_t from = 0)
{
    return static_cast<std::size_t>(std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line) -
                                    lines.begin());
}

}  // namespace

TEST_CASE("write says item by item what was written and why the rest was not; --read-back reads the device")
{
    CHECK(Printed(L"write \\\\.\\proc1\\Constant=1 \\\\.\\proc1\\Running=yes \\\\.\\proc1\\Label=on", 1) ==
          "\\\\.\\proc1\\Constant: error 0xC0040006 The Items AccessRights do not allow the operation.\n"
          "\\\\.\\proc1\\Running: \"yes\" is not a boolean (true, false, 1 or 0)\n"
          "\\\\.\\proc1\\Label = \"on\": written\n");

    // The simulated network lives in each client process, so the device read must come from
    // the process that wrote.
    CHECK(Printed(L"--json write --read-back \\\\.\\proc1\\Setpoint=12.5 \\\\.\\proc1\\Running=yes", 1) ==
          R"({"items":[{"item":"\\\\.\\proc1\\Setpoint","value":12.5,"ok":true,"readBack":{"value":12.5,)"
          R"("type":"R8","quality":"good","qualityCode":192,"timestamp":"<time>"}},)"
          R"({"item":"\\\\.\\proc1\\Running","ok":false,"error":{"hresult":null,)"
          R"j("text":"\"yes\" is not a boolean (true, false, 1 or 0)"}}]})j"
          "\n");
}

TEST_CASE("props lists every property with its value")
{
    CHECK(Printed(L"props \\\\.\\proc1\\Constant", 0) ==
          "\\\\.\\proc1\\Constant\n"
          "   ID  DESCRIPTION               TYPE  VALUE\n"
          "    1  Item Canonical Data Type  I2    5 (R8)\n"
          "    2  Item Value                R8    42\n"
          "    3  Item Quality              I2    192 (good 0xC0)\n"
          "    4  Item TimeStamp            DATE  <time>\n"
          "    5  Item Access Rights        I2    1 (r)\n"
          "    6  Server Scan Rate          R4    1\n"
          "  101  Item Description          BSTR  \"Constant\"\n");

    CHECK(Printed(L"--json props \\\\.\\proc1\\Waveform", 0) ==
          R"({"item":"\\\\.\\proc1\\Waveform","properties":[{"id":101,"description":"Item Description",)"
          R"("type":"BSTR","value":"Waveform"}]})"
          "\n");
}

TEST_CASE("watch prints the changes of live items and a timed write that comes back, then the trend")
{
    ChildRun run = Opcq(L"watch \\\\.\\proc1\\Waveform.ramp \\\\.\\proc1\\Label --seconds 2 --rate 100 "
                   L"--write \\\\.\\proc1\\Label=running@0.5");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() >= 4);
    CHECK(lines[0] == "Watching 2 items, update rate 100 ms, for 2 s.");
    const std::string ramp = "<time>  \\\\.\\proc1\\Waveform.ramp = ";
    CHECK(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
              return line.rfind(ramp, 0) == 0 && std::isdigit(static_cast<unsigned char>(line[ramp.size()])) &&
                     line.ends_with(" (good 0xC0)");
          }) >= 2);
    const std::size_t write = Find(lines, "<time>  write \\\\.\\proc1\\Label = \"running\": written");
    CHECK(Find(lines, "<time>  \\\\.\\proc1\\Label = \"running\" (good 0xC0)", write) < lines.size());
    CHECK(lines[lines.size() - 2] == "Trend, one sample a second:");
    CHECK(lines.back().rfind("  \\\\.\\proc1\\Waveform.ramp  ", 0) == 0);

    ChildRun json = Opcq(L"--json watch \\\\.\\proc1\\Label --seconds 1 --rate 100 --write \\\\.\\proc1\\Label=running@0.3");
    CHECK(json.exitCode == 0);
    const std::vector<std::string> events = Lines(json.out);
    const std::string change = R"({"event":"change","item":"\\\\.\\proc1\\Label","value":)";
    for (const std::string& event : events)
        CHECK((event.rfind(change, 0) == 0 || event.rfind(R"({"event":"write",)", 0) == 0));
    const std::size_t written =
        Find(events, R"({"event":"write","time":"<time>","item":"\\\\.\\proc1\\Label","value":"running","ok":true})");
    CHECK(Find(events, change + R"("running","type":"BSTR","quality":"good","qualityCode":192,)"
                                R"("timestamp":"<time>"})",
               written) < events.size());
}
