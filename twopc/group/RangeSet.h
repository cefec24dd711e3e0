#pragma once
// A set of integers kept as a sorted singly linked list of inclusive, non-overlapping
// ranges. Adding a value next to a range widens that range (and joins it to its
// neighbour when the gap closes), so a long run of values costs one node. T{} (zero)
// is never a member: Remove and RemoveLowest answer it when nothing was taken.
// Not thread-safe; the owner locks.

#include <memory>
#include <utility>
#include <vector>

namespace twopc::group {

template <class T>
class CRangeSet {
public:
    CRangeSet() = default;
    // The set holding every value from low to high; requires 0 < low <= high.
    CRangeSet(T low, T high) : m_head(std::make_unique<Node>(low, high)) {}

    // Unlinks node by node: a chain of unique_ptr destructors would recurse once per
    // range, and a fragmented set can hold millions of them.
    virtual ~CRangeSet()
    {
        while (m_head) m_head = std::move(m_head->next);
    }

    CRangeSet(const CRangeSet&) = delete;
    CRangeSet& operator=(const CRangeSet&) = delete;

    // Adding a value that is already a member changes nothing. Throws std::bad_alloc
    // when a new range is needed and cannot be allocated; the set is then unchanged.
    void Add(T value)
    {
        Node* previous = nullptr;
        Node* next = m_head.get();
        while (next && next->high < value) {
            previous = next;
            next = next->next.get();
        }

        if (previous && previous->high + 1 == value) {
            previous->high = value;
            if (next && value + 1 == next->low) {
                previous->high = next->high;
                previous->next = std::move(next->next);
            }
            return;
        }
        if (next && value >= next->low) return;  // a number given back twice is harmless
        if (next && value + 1 == next->low) {
            next->low = value;
            return;
        }
        auto range = std::make_unique<Node>(value, value);
        std::unique_ptr<Node>& link = previous ? previous->next : m_head;
        range->next = std::move(link);
        link = std::move(range);
    }

    // Returns value when it was a member, T{} otherwise. Throws std::bad_alloc when
    // splitting a range fails; the set is then unchanged.
    T Remove(T value)
    {
        Node* previous = nullptr;
        Node* range = m_head.get();
        while (range && range->high < value) {
            previous = range;
            range = range->next.get();
        }
        if (!range || value < range->low) return T{};

        if (value == range->low) {
            if (range->low == range->high) {
                std::unique_ptr<Node>& link = previous ? previous->next : m_head;
                link = std::move(range->next);
            } else {
                ++range->low;
            }
        } else if (value == range->high) {
            --range->high;
        } else {
            auto upper = std::make_unique<Node>(value + 1, range->high);
            upper->next = std::move(range->next);
            range->next = std::move(upper);
            range->high = value - 1;
        }
        return value;
    }

    // Takes the smallest member out; T{} when the set is empty.
    T RemoveLowest() { return m_head ? Remove(m_head->low) : T{}; }

    bool Empty() const noexcept { return !m_head; }

    // The ranges in ascending order, as (low, high) pairs.
    std::vector<std::pair<T, T>> Ranges() const
    {
        std::vector<std::pair<T, T>> ranges;
        for (const Node* range = m_head.get(); range; range = range->next.get())
            ranges.emplace_back(range->low, range->high);
        return ranges;
    }

private:
    struct Node {
        Node(T lowBound, T highBound) : low(lowBound), high(highBound) {}

        std::unique_ptr<Node> next;
        T low;
        T high;
    };

    std::unique_ptr<Node> m_head;
};

}  // namespace twopc::group
