// opcq against the registered server: each case runs opcq.exe (beside this program) as
// a child process and checks its exit code and what it printed.

#include <doctest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <thread>
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

// Just enough JSON to look at opcq's documents. The whole text must be one value; each
// scalar is kept under its path ("items/0/value"): strings unescaped (ASCII escapes only),
// numbers as written, true, false and null as words; an array's length is the word "path/#".
class Json {
public:
    explicit Json(const std::string& text) : m_text(text)
    {
        Value("");
        Blanks();
        CHECK_MESSAGE(m_at == m_text.size(), "text after the JSON value at " << m_at);
    }
    std::string String(const std::string& path) const { return Find(m_strings, path, "<not a string>"); }
    std::string Word(const std::string& path) const { return Find(m_words, path, "<not a word>"); }
    // Whether the document has a value at `path`, or anything below it.
    bool Has(const std::string& path) const
    {
        for (const auto* in : {&m_strings, &m_words})
            for (const auto& [key, value] : *in)
                if (key == path || key.rfind(path + "/", 0) == 0) return true;
        return false;
    }

private:
    static std::string Find(const std::map<std::string, std::string>& in, const std::string& path, const char* none)
    {
        auto found = in.find(path);
        return found == in.end() ? none : found->second;
    }
    void Blanks()
    {
        while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
    }
    bool Take(char c)
    {
        Blanks();
        if (m_at >= m_text.size() || m_text[m_at] != c) return false;
        ++m_at;
        return true;
    }
    void Expect(char c) { REQUIRE_MESSAGE(Take(c), "expected '" << c << "' at " << m_at << " in " << m_text); }

    void Value(const std::string& path)
    {
        const std::string prefix = path.empty() ? path : path + "/";
        if (Take('{')) {
            if (Take('}')) return;
            do {
                Blanks();
                const std::string key = StringLiteral();
                Expect(':');
                Value(prefix + key);
            } while (Take(','));
            Expect('}');
        } else if (Take('[')) {
            std::size_t count = 0;
            if (!Take(']')) {
                do Value(prefix + std::to_string(count++));
                while (Take(','));
                Expect(']');
            }
            m_words[prefix + "#"] = std::to_string(count);
        } else if (m_at < m_text.size() && m_text[m_at] == '"') {  // Take() has skipped the blanks
            m_strings[path] = StringLiteral();
        } else {
            const std::string word = m_text.substr(m_at, m_text.find_first_of(",]} \t\r\n", m_at) - m_at);
            std::size_t used = 0;
            const bool known = word == "true" || word == "false" || word == "null";
            REQUIRE_MESSAGE((known || (std::stod(word, &used), used == word.size())), "no value at " << m_at);
            m_words[path] = word;
            m_at += word.size();
        }
    }

    std::string StringLiteral()
    {
        REQUIRE(m_text[m_at++] == '"');
        std::string text;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            char c = m_text[m_at++];
            if (c == '\\' && m_at < m_text.size()) {
                const char escaped = m_text[m_at++];
                const std::string plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                if (escaped == 'u') {
                    c = static_cast<char>(std::stoi(m_text.substr(m_at, 4), nullptr, 16));
                    m_at += 4;
                } else {
                    REQUIRE(plain.find(escaped) != std::string::npos);
                    c = meant[plain.find(escaped)];
                }
            }
            text += c;
        }
        Expect('"');
        return text;
    }

    const std::string& m_text;
    std::size_t m_at = 0;
    std::map<std::string, std::string> m_strings, m_words;
};

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

TEST_CASE("read prints value, type, quality and timestamp; an unknown item fails alone, with its text")
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

    Run unknown = Opcq(L"read \\\\.\\proc1\\NoSuchPoint \\\\.\\proc1\\Constant");
    CHECK(unknown.exitCode == 1);
    const std::vector<std::string> unknownLines = Lines(unknown.out);
    REQUIRE(unknownLines.size() == 2);
    CHECK(unknownLines[0] ==
          "\\\\.\\proc1\\NoSuchPoint: error 0xC0040007 The item is no longer available in the server address space.");
    CHECK(StartsWith(unknownLines[1], "\\\\.\\proc1\\Constant = 42 (R8, good 0xC0, "));
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

TEST_CASE("browse --flat lists full item IDs; browse draws the tree below a path")
{
    Run run = Opcq(L"browse --flat");
    INFO(run.out << run.err);
    REQUIRE(run.exitCode == 0);
    const std::vector<std::string> lines = Lines(run.out);
    CHECK(std::count(lines.begin(), lines.end(), "\\\\.\\proc1\\Waveform.cosine") == 1);

    Run below = Opcq(L"browse --flat --filter \"*o*\" \\\\.\\proc1\\Waveform");
    CHECK(below.exitCode == 0);
    CHECK(below.out == "\\\\.\\proc1\\Waveform.cosine\n\\\\.\\proc1\\Waveform.toggle\n");

    Run tree = Opcq(L"browse \\\\.\\proc1\\Waveform");
    CHECK(tree.exitCode == 0);
    CHECK(tree.out == "\\\\.\\proc1\\Waveform\n"
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
    const Json document(branch.out);
    REQUIRE(document.Word("properties/#") == "1");
    CHECK(document.Word("properties/0/id") == "101");
    CHECK(document.String("properties/0/type") == "BSTR");
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
        const Json change(line);
        CHECK(change.String("event") == "change");
        CHECK(change.String("item") == "\\\\.\\proc1\\Waveform.ramp");
        CHECK(change.String("quality") == "good");
    }
    CHECK(Json(lines.back()).String("type") == "R8");
}

TEST_CASE("read --json is one document with a result per item")
{
    Run run = Opcq(L"--json read \\\\.\\proc1\\Constant \\\\.\\proc1\\NoSuchPoint");
    INFO(run.out << run.err);
    CHECK(run.exitCode == 1);
    const Json document(run.out);
    CHECK(document.String("source") == "cache");
    REQUIRE(document.Word("items/#") == "2");
    CHECK(document.String("items/0/item") == "\\\\.\\proc1\\Constant");
    CHECK(document.Word("items/0/value") == "42");
    CHECK(document.String("items/0/type") == "R8");
    CHECK(document.String("items/0/quality") == "good");
    CHECK(document.Word("items/0/qualityCode") == "192");
    CHECK(StartsWith(document.String("items/0/timestamp"), "20"));
    CHECK((!document.Has("items/0/error") || document.Word("items/0/error") == "null"));
    CHECK(document.String("items/1/error/hresult") == "0xC0040007");
    CHECK(document.String("items/1/error/text") == "The item is no longer available in the server address space.");
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
    const Json document(json.out);
    CHECK(document.String("error/what") == "server \"No.Such.Server\" is not registered");
    CHECK(document.String("error/hresult") == "0x800401F3");
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
