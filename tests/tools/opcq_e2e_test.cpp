// opcq against the registered server: each case runs opcq.exe (beside this program) as
// a child process and checks its exit code and what it printed.

#include <doctest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

struct Run {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;  // UTF-8, with CR LF turned into LF
    std::string err;
};

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH];
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

std::string WithoutCarriageReturns(std::string text)
{
    for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
    return text;
}

void ReadAll(HANDLE pipe, std::string& into)
{
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) into.append(buffer, read);
}

// Runs opcq with `arguments` (already quoted where needed) and collects both streams.
Run Opcq(const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    REQUIRE(CreatePipe(&outRead, &outWrite, &inherit, 0));
    REQUIRE(CreatePipe(&errRead, &errWrite, &inherit, 0));
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + OwnDirectory() + L"opcq.exe\" " + arguments;
    PROCESS_INFORMATION process{};
    REQUIRE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process));
    CloseHandle(outWrite);
    CloseHandle(errWrite);

    Run run;
    std::thread errors([&] { ReadAll(errRead, run.err); });
    ReadAll(outRead, run.out);
    errors.join();
    CHECK(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    run.out = WithoutCarriageReturns(run.out);
    run.err = WithoutCarriageReturns(run.err);
    return run;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Just enough JSON to look at opcq's documents: objects, arrays, strings (ASCII escapes),
// numbers, true, false and null.
struct Json {
    using Object = std::map<std::string, Json>;
    using Array = std::vector<Json>;
    std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> value;

    const Json& operator[](const std::string& key) const
    {
        static const Json missing;
        auto object = std::get_if<std::shared_ptr<Object>>(&value);
        if (!object) return missing;
        auto found = (*object)->find(key);
        return found == (*object)->end() ? missing : found->second;
    }
    const Json& operator[](std::size_t index) const
    {
        static const Json missing;
        auto array = std::get_if<std::shared_ptr<Array>>(&value);
        return array && index < (*array)->size() ? (**array)[index] : missing;
    }
    std::size_t Size() const
    {
        auto array = std::get_if<std::shared_ptr<Array>>(&value);
        return array ? (*array)->size() : 0;
    }
    std::string String() const { return std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : "<not a string>"; }
    double Number() const { return std::holds_alternative<double>(value) ? std::get<double>(value) : -12345.0; }
    bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : m_text(text) {}

    // Fails the test unless the whole text is one JSON value.
    Json Document()
    {
        Json result = Value();
        SkipBlanks();
        CHECK_MESSAGE(m_at == m_text.size(), "text after the JSON value at " << m_at);
        return result;
    }

private:
    void SkipBlanks()
    {
        while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
    }
    bool Take(char c)
    {
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    void Expect(char c) { REQUIRE_MESSAGE(Take(c), "expected '" << c << "' at " << m_at << " in " << m_text); }

    Json Value()
    {
        SkipBlanks();
        REQUIRE(m_at < m_text.size());
        Json json;
        const char c = m_text[m_at];
        if (c == '{') {
            auto object = std::make_shared<Json::Object>();
            ++m_at;
            if (!Take('}')) {
                do {
                    SkipBlanks();
                    std::string key = StringLiteral();
                    Expect(':');
                    (*object)[key] = Value();
                } while (Take(','));
                Expect('}');
            }
            json.value = object;
        } else if (c == '[') {
            auto array = std::make_shared<Json::Array>();
            ++m_at;
            if (!Take(']')) {
                do array->push_back(Value());
                while (Take(','));
                Expect(']');
            }
            json.value = array;
        } else if (c == '"') {
            json.value = StringLiteral();
        } else if (m_text.compare(m_at, 4, "true") == 0) {
            m_at += 4;
            json.value = true;
        } else if (m_text.compare(m_at, 5, "false") == 0) {
            m_at += 5;
            json.value = false;
        } else if (m_text.compare(m_at, 4, "null") == 0) {
            m_at += 4;
            json.value = nullptr;
        } else {
            std::size_t used = 0;
            json.value = std::stod(m_text.substr(m_at), &used);
            REQUIRE(used > 0);
            m_at += used;
        }
        return json;
    }

    std::string StringLiteral()
    {
        REQUIRE(m_text[m_at] == '"');
        ++m_at;
        std::string text;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            char c = m_text[m_at++];
            if (c == '\\') {
                REQUIRE(m_at < m_text.size());
                const char escaped = m_text[m_at++];
                switch (escaped) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'u':
                    c = static_cast<char>(std::stoi(m_text.substr(m_at, 4), nullptr, 16));
                    m_at += 4;
                    break;
                default: c = escaped; break;
                }
            }
            text += c;
        }
        Expect('"');
        return text;
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

Json ParseJson(const std::string& text)
{
    return JsonParser(text).Document();
}

}  // namespace

TEST_CASE("status of the default server")
{
    Run run = Opcq(L"status");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() == 9);
    CHECK(lines[0] == "Server:       Orvane.TarnwellOPCServer {7E15A0C2-4B91-4D3E-9F62-0C8A5D21B7E4}");
    CHECK(lines[1] == "Vendor:       Orvane");
    CHECK(lines[3] == "State:        running");
    CHECK(lines[7] == "Groups:       0");
}

TEST_CASE("read prints value, type, quality and timestamp")
{
    Run run = Opcq(L"read \\\\.\\proc1\\Constant");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() == 1);
    CHECK(StartsWith(lines[0], "\\\\.\\proc1\\Constant = 42 (R8, good 0xC0, 20"));
    CHECK(lines[0].back() == ')');
    CHECK(run.err.empty());

    Run device = Opcq(L"read --device \\\\.\\proc1\\Constant \\\\.\\proc1\\Label");
    CHECK(device.exitCode == 0);
    const std::vector<std::string> deviceLines = Lines(device.out);
    REQUIRE(deviceLines.size() == 2);
    CHECK(StartsWith(deviceLines[0], "\\\\.\\proc1\\Constant = 42 (R8, good 0xC0, 20"));
    CHECK(StartsWith(deviceLines[1], "\\\\.\\proc1\\Label = \"ready\" (BSTR, good 0xC0, 20"));
}

TEST_CASE("an unknown item fails alone, with the server's text, and the exit code says so")
{
    Run run = Opcq(L"read \\\\.\\proc1\\NoSuchPoint \\\\.\\proc1\\Constant");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 1);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() == 2);
    CHECK(lines[0] ==
          "\\\\.\\proc1\\NoSuchPoint: error 0xC0040007 The item is no longer available in the server address space.");
    CHECK(StartsWith(lines[1], "\\\\.\\proc1\\Constant = 42 (R8, good 0xC0, "));
}

TEST_CASE("a written value reads back from the device")
{
    Run written = Opcq(L"write \\\\.\\proc1\\Setpoint=12.5");
    INFO(written.out << written.err);
    CHECK(written.exitCode == 0);
    CHECK(written.out == "\\\\.\\proc1\\Setpoint = 12.5: written\n");

    // The simulated network lives in each client process, so the device read must come
    // from the process that wrote.
    Run readBack = Opcq(L"write --read-back \\\\.\\proc1\\Setpoint=12.5");
    INFO(readBack.out << readBack.err);
    CHECK(readBack.exitCode == 0);
    const std::vector<std::string> lines = Lines(readBack.out);
    REQUIRE(lines.size() == 2);
    CHECK(lines[0] == "\\\\.\\proc1\\Setpoint = 12.5: written");
    CHECK(StartsWith(lines[1], "\\\\.\\proc1\\Setpoint = 12.5 (R8, good 0xC0, 20"));
}

TEST_CASE("writes that cannot be made say why, item by item")
{
    Run run = Opcq(L"write \\\\.\\proc1\\Constant=1 \\\\.\\proc1\\Running=yes \\\\.\\proc1\\Label=on");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 1);
    CHECK(run.out ==
          "\\\\.\\proc1\\Constant: error 0xC0040006 The Items AccessRights do not allow the operation.\n"
          "\\\\.\\proc1\\Running: \"yes\" is not a boolean (true, false, 1 or 0)\n"
          "\\\\.\\proc1\\Label = \"on\": written\n");
}

TEST_CASE("browse --flat lists full item IDs")
{
    Run run = Opcq(L"browse --flat");
    INFO(run.out << run.err);
    REQUIRE(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    CHECK(std::count(lines.begin(), lines.end(), "\\\\.\\proc1\\Waveform.cosine") == 1);

    Run below = Opcq(L"browse --flat --filter \"*o*\" \\\\.\\proc1\\Waveform");
    CHECK(below.exitCode == 0);
    CHECK(below.out == "\\\\.\\proc1\\Waveform.cosine\n\\\\.\\proc1\\Waveform.toggle\n");
}

TEST_CASE("browse draws the tree below a path")
{
    Run run = Opcq(L"browse \\\\.\\proc1\\Waveform");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    CHECK(run.out == "\\\\.\\proc1\\Waveform\n"
                     "|-- cosine  (\\\\.\\proc1\\Waveform.cosine)\n"
                     "|-- ramp  (\\\\.\\proc1\\Waveform.ramp)\n"
                     "|-- sine  (\\\\.\\proc1\\Waveform.sine)\n"
                     "`-- toggle  (\\\\.\\proc1\\Waveform.toggle)\n");

    Run missing = Opcq(L"browse \\\\.\\proc9");
    CHECK(missing.exitCode == 1);
    CHECK(StartsWith(missing.err, "opcq: cannot browse to \"\\\\.\\proc9\": 0x80004005"));
}

TEST_CASE("props lists every property with its value")
{
    Run run = Opcq(L"props \\\\.\\proc1\\Constant");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() == 9);
    CHECK(lines[0] == "\\\\.\\proc1\\Constant");
    CHECK(lines[1] == "   ID  DESCRIPTION               TYPE  VALUE");
    CHECK(lines[2] == "    1  Item Canonical Data Type  I2    5 (R8)");
    CHECK(lines[3] == "    2  Item Value                R8    42");
    CHECK(lines[4] == "    3  Item Quality              I2    192 (good 0xC0)");
    CHECK(StartsWith(lines[5], "    4  Item TimeStamp            DATE  20"));
    CHECK(lines[6] == "    5  Item Access Rights        I2    1 (r)");
    CHECK(lines[7] == "    6  Server Scan Rate          R4    1");
    CHECK(lines[8] == "  101  Item Description          BSTR  \"Constant\"");

    Run branch = Opcq(L"--json props \\\\.\\proc1\\Waveform");
    CHECK(branch.exitCode == 0);
    const Json document = ParseJson(branch.out);
    REQUIRE(document["properties"].Size() == 1);
    CHECK(document["properties"][0]["id"].Number() == 101.0);
    CHECK(document["properties"][0]["type"].String() == "BSTR");
}

TEST_CASE("watch prints the changes of a live item, then its trend")
{
    Run run = Opcq(L"watch \\\\.\\proc1\\Waveform.ramp --seconds 2 --rate 100");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(!lines.empty());
    CHECK(lines[0] == "Watching 1 item, update rate 100 ms, for 2 s.");
    int numericChanges = 0;
    for (const std::string& line : lines) {
        const std::size_t at = line.find("Z  \\\\.\\proc1\\Waveform.ramp = ");
        if (at == std::string::npos) continue;
        const char first = line[at + std::string("Z  \\\\.\\proc1\\Waveform.ramp = ").size()];
        if (std::isdigit(static_cast<unsigned char>(first))) ++numericChanges;
        CHECK(line.find(" (good 0xC0)") != std::string::npos);
    }
    CHECK(numericChanges >= 2);
    REQUIRE(lines.size() >= 2);
    CHECK(lines[lines.size() - 2] == "Trend, one sample a second:");
    CHECK(StartsWith(lines.back(), "  \\\\.\\proc1\\Waveform.ramp  "));
}

TEST_CASE("watch performs a timed write and sees it come back")
{
    Run run = Opcq(L"watch \\\\.\\proc1\\Label --seconds 2 --rate 100 --write \\\\.\\proc1\\Label=running@0.5");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    std::size_t writeLine = lines.size();
    std::size_t runningLine = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("Z  write \\\\.\\proc1\\Label = \"running\": written") != std::string::npos) writeLine = i;
        if (lines[i].find("Z  \\\\.\\proc1\\Label = \"running\" (good 0xC0)") != std::string::npos) runningLine = i;
    }
    CHECK(writeLine < lines.size());
    CHECK(runningLine < lines.size());
    CHECK(writeLine < runningLine);
}

TEST_CASE("watch --json prints one object per change")
{
    Run run = Opcq(L"--json watch \\\\.\\proc1\\Waveform.ramp --seconds 1 --rate 100");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    REQUIRE(lines.size() >= 2);
    for (const std::string& line : lines) {
        const Json change = ParseJson(line);
        CHECK(change["event"].String() == "change");
        CHECK(change["item"].String() == "\\\\.\\proc1\\Waveform.ramp");
        CHECK(change["quality"].String() == "good");
    }
    CHECK(ParseJson(lines.back())["type"].String() == "R8");
}

TEST_CASE("read --json is one document with a result per item")
{
    Run run = Opcq(L"--json read \\\\.\\proc1\\Constant \\\\.\\proc1\\NoSuchPoint");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 1);
    const Json document = ParseJson(run.out);
    CHECK(document["source"].String() == "cache");
    REQUIRE(document["items"].Size() == 2);
    const Json& constant = document["items"][0];
    CHECK(constant["item"].String() == "\\\\.\\proc1\\Constant");
    CHECK(constant["value"].Number() == 42.0);
    CHECK(constant["type"].String() == "R8");
    CHECK(constant["quality"].String() == "good");
    CHECK(constant["qualityCode"].Number() == 192.0);
    CHECK(StartsWith(constant["timestamp"].String(), "20"));
    CHECK(constant["error"].IsNull());
    const Json& unknown = document["items"][1];
    CHECK(unknown["error"]["hresult"].String() == "0xC0040007");
    CHECK(unknown["error"]["text"].String() == "The item is no longer available in the server address space.");
}

TEST_CASE("an unknown ProgID is not registered")
{
    Run run = Opcq(L"--server No.Such.Server status");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 1);
    CHECK(run.out.empty());
    CHECK(StartsWith(run.err, "opcq: server \"No.Such.Server\" is not registered: 0x800401F3 "));

    Run json = Opcq(L"--json --server No.Such.Server status");
    CHECK(json.exitCode == 1);
    const Json document = ParseJson(json.out);
    CHECK(document["error"]["what"].String() == "server \"No.Such.Server\" is not registered");
    CHECK(document["error"]["hresult"].String() == "0x800401F3");
}

TEST_CASE("usage errors exit with 2 before any server is created")
{
    Run run = Opcq(L"read");
    CHECK(run.exitCode == 2);
    CHECK(run.out.empty());
    CHECK(run.err == "opcq: read needs at least one item ID\nTry 'opcq --help'.\n");

    Run help = Opcq(L"--help");
    CHECK(help.exitCode == 0);
    CHECK(StartsWith(help.out, "usage: opcq [--server PROGID|{CLSID}] [--json] COMMAND [ARGUMENTS]\n"));
}
