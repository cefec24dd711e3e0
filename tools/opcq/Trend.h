#pragma once
// The recent history of one numeric item, sampled at a fixed pace, and its drawing as a
// sparkline: one character per sample, higher characters for higher values.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace opcq {

enum class SparkStyle {
    Blocks,  // U+2581..U+2588, for a console
    Ascii,   // "_.-:=+*#", for pipes and files
};

// The characters of the levels, lowest first.
std::wstring_view SparkLevels(SparkStyle style);

// Each sample scaled between the smallest and the largest of them; a flat series sits
// in the middle. NaN samples (no value yet) are drawn as blanks.
std::wstring Sparkline(const std::deque<double>& samples, SparkStyle style);

class Trend {
public:
    explicit Trend(std::size_t capacity) : m_capacity(capacity) {}

    // The newest value; it enters the history at the next Sample().
    void Update(double value)
    {
        m_current = value;
        m_hasValue = true;
    }
    // Appends the current value (NaN before the first one), dropping the oldest beyond
    // the capacity.
    void Sample();

    bool HasValue() const { return m_hasValue; }
    double Current() const { return m_current; }
    const std::deque<double>& Samples() const { return m_samples; }
    // Over the samples that have a value and the current value; NaN before the first value.
    double Minimum() const;
    double Maximum() const;

private:
    std::size_t m_capacity;
    std::deque<double> m_samples;
    double m_current = 0;
    bool m_hasValue = false;
};

}  // namespace opcq
