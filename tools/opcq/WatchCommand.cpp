// watch: an active group with an IOPCDataCallback advised on it. Every change is printed
// as it arrives; numeric items also get a trend, sampled once a second. On a console the
// trend is a block below the change lines, drawn again each second (in ASCII where the
// console cannot show the block characters); elsewhere it is printed once at the end.
// Timed writes (--write) are performed on the way.

#include "Commands.h"
#include "Json.h"
#include "Report.h"
#include "Subscription.h"
#include "Trend.h"
#include "Values.h"
#include "Writing.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace opcq {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kSamplePeriod{1};
constexpr std::chrono::milliseconds kLongestWait{200};  // how soon Ctrl+C is noticed
constexpr std::size_t kTrendCapacity = 60;
constexpr std::size_t kLongestTrendName = 40;

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_interrupted = true;
        return TRUE;
    }
    return FALSE;
}

// Ctrl+C ends the watch normally, so that the group is removed on the way out.
class InterruptHandler {
public:
    InterruptHandler()
    {
        g_interrupted = false;
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;
    ~InterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }
    bool Interrupted() const { return g_interrupted; }
};

std::wstring NowUtc()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FormatUtcTimestamp(now);
}

std::wstring FitWidth(std::wstring text, std::size_t width)
{
    if (text.size() > width) text.resize(width);
    return text;
}

// Everything the watch prints, and the live trend block on a console.
class WatchDisplay {
public:
    WatchDisplay(const OpcServer& server, const CommandOutput& output, const std::vector<AddedItem>& items)
        : m_server(server),
          m_output(output),
          m_items(items),
          m_live(output.out.IsConsole() && !output.json),
          m_liveStyle(output.out.CanShow(SparkLevels(SparkStyle::Blocks)) ? SparkStyle::Blocks : SparkStyle::Ascii)
    {
        for (std::size_t i = 0; i < items.size(); ++i) m_trends.emplace_back(kTrendCapacity);
    }

    void Started(DWORD revisedRateMs, std::optional<double> seconds)
    {
        if (m_output.json) return;
        std::size_t watched = 0;
        for (const AddedItem& item : m_items) watched += SUCCEEDED(item.error) ? 1 : 0;
        std::wstring line = L"Watching " + std::to_wstring(watched) + (watched == 1 ? L" item" : L" items") +
                            L", update rate " + std::to_wstring(revisedRateMs) + L" ms";
        line += seconds ? L", for " + FormatNumber(*seconds) + L" s." : L", until Ctrl+C.";
        Emit({line});
    }

    void AddFailed(const AddedItem& item)
    {
        if (m_output.json) {
            JsonWriter json;
            json.BeginObject().Key(L"event").String(L"error").Key(L"item").String(item.itemId);
            JsonErrorMember(json, item.error, m_server.ErrorText(item.error));
            json.EndObject();
            Emit({json.Text()});
        } else {
            Emit({ItemErrorLine(item.itemId, item.error, m_server.ErrorText(item.error))});
        }
    }

    void Changes(const std::vector<ItemChange>& changes)
    {
        if (changes.empty()) return;
        std::vector<std::wstring> lines;
        for (const ItemChange& change : changes) {
            const bool known = change.clientHandle < m_items.size();
            const std::wstring item = known ? m_items[change.clientHandle].itemId : L"(unknown item)";
            if (known && SUCCEEDED(change.error))
                if (std::optional<double> number = NumericValue(change.value.Ref()))
                    m_trends[change.clientHandle].Update(*number);
            lines.push_back(m_output.json ? ChangeJson(item, change) : ChangeText(item, change));
        }
        Emit(lines);
    }

    void Written(const std::vector<WriteOutcome>& outcomes)
    {
        std::vector<std::wstring> lines;
        for (const WriteOutcome& outcome : outcomes) {
            if (m_output.json) {
                JsonWriter json;
                json.BeginObject().Key(L"event").String(L"write").Key(L"time").String(NowUtc());
                JsonWriteOutcomeMembers(json, outcome);
                json.EndObject();
                lines.push_back(json.Text());
            } else {
                lines.push_back(NowUtc() + L"  write " + WriteOutcomeLine(outcome));
            }
        }
        Emit(lines);
    }

    // Once a second: every numeric item's current value enters its trend.
    void Sample()
    {
        for (Trend& trend : m_trends) trend.Sample();
        if (m_live) Emit({});
    }

    // The trend once more, for output that had no live block.
    void Finished()
    {
        if (m_live || m_output.json) return;
        for (const std::wstring& line : TrendBlock(SparkStyle::Ascii, 0)) m_output.out.Line(line);
    }

private:
    std::wstring ChangeText(const std::wstring& item, const ItemChange& change) const
    {
        std::wstring time = FormatUtcTimestamp(change.timestamp);
        if (time.empty()) time = NowUtc();
        if (FAILED(change.error)) return time + L"  " + ItemErrorLine(item, change.error, m_server.ErrorText(change.error));
        return time + L"  " + item + L" = " + DisplayValue(change.value.Ref()) + L" (" + QualityText(change.quality) +
               L")";
    }

    std::wstring ChangeJson(const std::wstring& item, const ItemChange& change) const
    {
        JsonWriter json;
        json.BeginObject().Key(L"event").String(L"change").Key(L"item").String(item);
        if (FAILED(change.error))
            JsonErrorMember(json, change.error, m_server.ErrorText(change.error));
        else
            JsonValueMembers(json, change.value.Ref(), change.quality, change.timestamp);
        json.EndObject();
        return json.Text();
    }

    // A heading and one line per item that has had a numeric value; nothing when none has.
    std::vector<std::wstring> TrendBlock(SparkStyle style, int consoleWidth) const
    {
        std::size_t nameWidth = 0;
        for (std::size_t i = 0; i < m_items.size(); ++i)
            if (m_trends[i].HasValue()) nameWidth = std::max(nameWidth, m_items[i].itemId.size());
        if (nameWidth == 0) return {};
        nameWidth = std::min(nameWidth, kLongestTrendName);

        std::vector<std::wstring> block{L"Trend, one sample a second:"};
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            const Trend& trend = m_trends[i];
            if (!trend.HasValue()) continue;
            std::wstring name = FitWidth(m_items[i].itemId, nameWidth);
            name.append(nameWidth - name.size(), L' ');
            std::wstring line = L"  " + name + L"  " + Sparkline(trend.Samples(), style) + L"  " +
                                FormatCompactNumber(trend.Current()) + L"  (min " +
                                FormatCompactNumber(trend.Minimum()) + L", max " +
                                FormatCompactNumber(trend.Maximum()) + L")";
            // A line that wraps would break the redraw, which counts lines.
            if (consoleWidth > 1) line = FitWidth(line, static_cast<std::size_t>(consoleWidth - 1));
            block.push_back(line);
        }
        return block;
    }

    // Prints lines; on a console the trend block is taken away first and drawn again
    // below them.
    void Emit(const std::vector<std::wstring>& lines)
    {
        if (!m_live) {
            for (const std::wstring& line : lines) m_output.out.Line(line);
            return;
        }
        if (m_blockLines > 0) m_output.out.RewindLines(m_blockLines);
        std::wstring text;
        for (const std::wstring& line : lines) text += line + L"\n";
        const std::vector<std::wstring> block = TrendBlock(m_liveStyle, m_output.out.ConsoleWidth());
        for (const std::wstring& line : block) text += line + L"\n";
        m_output.out.Write(text);
        m_blockLines = static_cast<int>(block.size());
    }

    const OpcServer& m_server;
    const CommandOutput& m_output;
    const std::vector<AddedItem>& m_items;
    const bool m_live;
    const SparkStyle m_liveStyle;
    std::vector<Trend> m_trends;  // by client handle, which is the item's index
    int m_blockLines = 0;
};

}  // namespace

int RunWatch(const OpcServer& server, const WatchArgs& args, const CommandOutput& output)
{
    OpcGroup group(server, L"opcq watch", true, args.updateRateMs);
    const std::vector<AddedItem> items = group.AddItems(args.items, true);
    WatchDisplay display(server, output, items);

    bool anyFailed = false;
    for (const AddedItem& item : items) {
        if (FAILED(item.error)) {
            display.AddFailed(item);
            anyFailed = true;
        }
    }
    if (std::none_of(items.begin(), items.end(), [](const AddedItem& item) { return SUCCEEDED(item.error); }))
        return kExitFailed;

    ComPtr<DataCallbackSink> sink = orv::com::MakeComObject<DataCallbackSink>();
    DataChangeAdvise advise(server, group.Object(), sink.Get());
    InterruptHandler interrupt;
    display.Started(group.RevisedUpdateRate(), args.seconds);

    std::unique_ptr<OpcGroup> writeGroup;  // made for the first timed write
    std::vector<bool> written(args.writes.size(), false);
    const Clock::time_point start = Clock::now();
    const std::optional<Clock::time_point> end =
        args.seconds ? std::optional(start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(*args.seconds)))
                     : std::nullopt;
    Clock::time_point nextSample = start + kSamplePeriod;

    while (!interrupt.Interrupted()) {
        Clock::time_point now = Clock::now();
        if (end && now >= *end) break;
        Clock::time_point wakeUp = std::min(nextSample, now + kLongestWait);
        if (end) wakeUp = std::min(wakeUp, *end);
        for (std::size_t i = 0; i < args.writes.size(); ++i)
            if (!written[i])
                wakeUp = std::min(wakeUp, start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(args.writes[i].atSeconds)));
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeUp - now);
        display.Changes(sink->Changes().TakeAll(std::max(wait, std::chrono::milliseconds(0))));

        now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        for (std::size_t i = 0; i < args.writes.size(); ++i) {
            if (written[i] || args.writes[i].atSeconds > elapsed) continue;
            written[i] = true;
            if (!writeGroup) writeGroup = std::make_unique<OpcGroup>(server, L"opcq watch writes", false, 1000);
            const std::vector<WriteOutcome> outcomes =
                WriteAssignments(server, *writeGroup, {args.writes[i].assignment});
            anyFailed = anyFailed || std::any_of(outcomes.begin(), outcomes.end(),
                                                 [](const WriteOutcome& outcome) { return !outcome.Ok(); });
            display.Written(outcomes);
        }
        if (now >= nextSample) {
            display.Sample();
            nextSample += kSamplePeriod;
        }
    }
    display.Changes(sink->Changes().TakeAll(std::chrono::milliseconds(0)));
    display.Finished();
    return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace opcq
