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
    SUBCASE("a value inside a range splits it") {
        CHECK(set.Remove(5) == 5);
        CHECK(set.Ranges() == Ranges{{1, 4}, {6, kLastId}});
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

TEST_CASE("a heavily fragmented set is destroyed without running out of stack")
{
    auto set = std::make_unique<Set>();
    for (unsigned long value = 400000; value > 0; value -= 2) set->Add(value);
    CHECK(set->Ranges().size() == 200000);
    set.reset();
}

TEST_CASE("the process-wide allocator starts at 1")
{
    CHECK(twopc::group::g_idMgr.AllocateId() == 1);
    CHECK(twopc::group::g_idMgr.AllocateId() == 2);
    CHECK(twopc::group::g_idMgr.AllocateId() == 3);
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

TEST_CASE("concurrent allocation and freeing never yields a live number twice")
{
    // Starting close to the end makes the threads recycle returned numbers, the path
    // where a lost update would show up as a duplicate.
    constexpr unsigned long kPool = 64;
    CIdMgr ids(kLastId - kPool + 1);
    std::array<std::atomic<bool>, kPool> live{};
    std::atomic<int> duplicates{0};

    auto worker = [&](unsigned seed) {
        std::vector<unsigned long> held;
        for (int step = 0; step < 20000; ++step) {
            seed = seed * 1103515245u + 12345u;
            if (held.size() < 12 && (seed >> 16) % 3 != 0) {
                if (unsigned long id = ids.AllocateId(); id != 0) {
                    if (live[id - (kLastId - kPool + 1)].exchange(true)) ++duplicates;
                    held.push_back(id);
                }
            } else if (!held.empty()) {
                const size_t index = (seed >> 16) % held.size();
                live[held[index] - (kLastId - kPool + 1)] = false;
                ids.FreeId(held[index]);
                held.erase(held.begin() + static_cast<std::ptrdiff_t>(index));
            }
        }
        for (unsigned long id : held) {
            live[id - (kLastId - kPool + 1)] = false;
            ids.FreeId(id);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned seed = 1; seed <= 4; ++seed) threads.emplace_back(worker, seed);
    for (auto& thread : threads) thread.join();

    CHECK(duplicates == 0);
    // Every number of the pool is back exactly once.
    for (unsigned long expected = kLastId - kPool + 1; expected != 0; ++expected)
        REQUIRE(ids.AllocateId() == expected);
    CHECK(ids.AllocateId() == 0);
}
