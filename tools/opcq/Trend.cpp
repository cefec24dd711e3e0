#include "Trend.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace opcq {
namespace {

constexpr wchar_t kBlockLevels[] = L"\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588";
constexpr wchar_t kAsciiLevels[] = L"_.-:=+*#";
constexpr int kLevelCount = 8;

template <class Choose>
double Extreme(const std::deque<double>& samples, Choose choose)
{
    double extreme = std::numeric_limits<double>::quiet_NaN();
    for (double sample : samples) {
        if (std::isnan(sample)) continue;
        extreme = std::isnan(extreme) ? sample : choose(extreme, sample);
    }
    return extreme;
}

}  // namespace

std::wstring_view SparkLevels(SparkStyle style)
{
    return style == SparkStyle::Blocks ? kBlockLevels : kAsciiLevels;
}

std::wstring Sparkline(const std::deque<double>& samples, SparkStyle style)
{
    const std::wstring_view levels = SparkLevels(style);
    const double low = Extreme(samples, [](double a, double b) { return std::min(a, b); });
    const double high = Extreme(samples, [](double a, double b) { return std::max(a, b); });
    std::wstring line;
    for (double sample : samples) {
        if (std::isnan(sample)) {
            line += L' ';
            continue;
        }
        int level = kLevelCount / 2 - 1;
        if (high > low) level = static_cast<int>(std::lround((sample - low) / (high - low) * (kLevelCount - 1)));
        line += levels[std::clamp(level, 0, kLevelCount - 1)];
    }
    return line;
}

void Trend::Sample()
{
    m_samples.push_back(m_hasValue ? m_current : std::numeric_limits<double>::quiet_NaN());
    while (m_samples.size() > m_capacity) m_samples.pop_front();
}

double Trend::Minimum() const
{
    const double lowest = Extreme(m_samples, [](double a, double b) { return std::min(a, b); });
    if (!m_hasValue) return lowest;
    return std::isnan(lowest) ? m_current : std::min(lowest, m_current);
}

double Trend::Maximum() const
{
    const double highest = Extreme(m_samples, [](double a, double b) { return std::max(a, b); });
    if (!m_hasValue) return highest;
    return std::isnan(highest) ? m_current : std::max(highest, m_current);
}

}  // namespace opcq
