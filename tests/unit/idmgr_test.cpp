#include <doctest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "twopc/group/IdMgr.h"
#include "twopc/group/RangeSet.h"

using twopc::group::CIdMgr;
using twopc::group::CRangeSet;
using Set = CRangeSet<unsigned long>;
using Ranges = std::vector<std::pair<unsigned long, unsigned long>>;

constexpr unsigned long kLastId = 0xFFFFFFFFul;

TEST_CASE("Add keeps ranges sorted and merges adjacent values")
{
    const struct {
        std::vector<unsigned long> added;
        Ranges expected;
    } cases[] = {
        {{7, 9, 8}, {{7, 9}}},                                        // the gap filled last
        {{12, 11, 10, 20}, {{10, 12}, {20, 20}}},                     // widened downwards
        {{1, 2, 4, 5, 9, 3}, {{1, 5}, {9, 9}}},                       // two ranges joined
        {{50, 10, 30, 70}, {{10, 10}, {30, 30}, {50, 50}, {70, 70}}}, // head, middle and tail
        {{3, 4, 5, 9, 3, 4, 5, 9}, {{3, 5}, {9, 9}}},                 // members added again
        {{kLastId, kLastId - 2, kLastId - 1}, {{kLastId - 2, kLastId}}},
    };
    for (const auto& c : cases) {
        Set set;
        for (unsigned long value : c.added) set.Add(value);
        CHECK(set.Ranges() == c.expected);
    }
}

TEST_CASE("Remove takes one value out and splits where needed")
{
    Set set(1, kLastId);
    SUBCASE("a value inside a range splits it; the ranges after it stay") {
        CHECK(set.Remove(5) == 5);
        CHECK(set.Ranges() == Ranges{{1, 4}, {6, kLastId}});
        CHECK(set.Remove(3) == 3);
        CHECK(set.Ranges() == Ranges{{1, 2}, {4, 4}, {6, kLastId}});
    }
    SUBCASE("the low and the high end shrink the range") {
        CHECK(set.Remove(1) == 1);
        CHECK(set.Remove(kLastId) == kLastId);
        CHECK(set.Ranges() == Ranges{{2, kLastId - 1}});
    }
    SUBCASE("a single-value range disappears, at the head or further on") {
        Set sparse;
        for (unsigned long value : {2, 4, 6}) sparse.Add(value);
        CHECK(sparse.Remove(4) == 4);
        CHECK(sparse.Remove(2) == 2);
        CHECK(sparse.Ranges() == Ranges{{6, 6}});
        CHECK(sparse.RemoveLowest() == 6);
        CHECK(sparse.Empty());
        CHECK(sparse.RemoveLowest() == 0);
    }
    SUBCASE("a value that is not a member is answered with 0 and changes nothing") {
        Set sparse;
        CHECK(sparse.Remove(3) == 0);
        for (unsigned long value : {3, 4, 8}) sparse.Add(value);
        CHECK(sparse.Remove(1) == 0);
        CHECK(sparse.Remove(6) == 0);
        CHECK(sparse.Remove(9) == 0);
        CHECK(sparse.Ranges() == Ranges{{3, 4}, {8, 8}});
    }
}

TEST_CASE("returned numbers wait until the number space is used up")
{
    SUBCASE("a freed number is not handed out while new ones remain") {
        CIdMgr ids;
        for (unsigned long expected = 1; expected <= 6; ++expected) CHECK(ids.AllocateId() == expected);
        ids.FreeId(5);
        CHECK(ids.AllocateId() == 7);
    }
    SUBCASE("after the last number, returned ones come back lowest first, then 0") {
        CIdMgr ids(kLastId - 1);
        CHECK(ids.AllocateId() == kLastId - 1);
        ids.FreeId(9);
        ids.FreeId(0);  // 0 is no number: giving it back must not cost a later allocation
        ids.FreeId(7);
        CHECK(ids.AllocateId() == kLastId);
        ids.FreeId(8);
        ids.FreeId(8);
        ids.FreeId(kLastId - 1);
        CHECK(ids.AllocateId() == 7);
        CHECK(ids.AllocateId() == 8);
        CHECK(ids.AllocateId() == 9);
        CHECK(ids.AllocateId() == kLastId - 1);
        CHECK(ids.AllocateId() == 0);
        CHECK(ids.AllocateId() == 0);
        ids.FreeId(42);
        CHECK(ids.AllocateId() == 42);
    }
}
