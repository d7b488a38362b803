#include "core/kernels/partition.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <vector>

#include <oneapi/tbb/task_arena.h>

namespace vintrel::core {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(PartitionTest, SlotRowsSplitContiguouslyWithEmptyTrailingSlots) {
  const std::pair<std::uint64_t, std::uint64_t> expected[] = {{0, 3}, {3, 6}, {6, 9}, {9, 9}};
  for (std::uint64_t k = 0; k < 4; ++k) EXPECT_EQ(slot_rows(9, 4, k), expected[k]) << "slot " << k;
  // One row per slot when there are fewer rows than slots.
  EXPECT_EQ(slot_rows(2, 3, 1), (std::pair<std::uint64_t, std::uint64_t>{1, 2}));
  EXPECT_EQ(slot_rows(2, 3, 2), (std::pair<std::uint64_t, std::uint64_t>{2, 2}));
  // Slot starts that would overflow clamp to the end.
  EXPECT_EQ(slot_rows(kMax, 2, 5), (std::pair<std::uint64_t, std::uint64_t>{kMax, kMax}));
}

TEST(PartitionTest, RowThresholdAndOverflow) {
  EXPECT_FALSE(rows_are_parallel(999'999, 1));
  EXPECT_TRUE(rows_are_parallel(1'000'000, 1));
  EXPECT_TRUE(rows_are_parallel(kMax, 2));  // an overflowing product is above every threshold
  EXPECT_EQ(gradient_slot_count(999'999, 1, 8), 0u);
  EXPECT_EQ(gradient_slot_count(1'000'000, 1, 8), 8u);
  EXPECT_EQ(gradient_slot_count(3, 400'000, 8), 3u);  // never more slots than rows
  EXPECT_EQ(gradient_slot_count(1'000'000, 1, 1), 1u);
}

TEST(PartitionTest, GramSlotsFollowWorkBudgetWorkersAndRows) {
  // n*p*p just below and at the Gram threshold.
  EXPECT_EQ(gram_slot_count(999'999, 4, 8, 8), 0u);
  EXPECT_EQ(gram_slot_count(1'000'000, 4, 8, 8), 8u);
  EXPECT_EQ(gram_slot_count(1'000'000, 4, 1, 8), 1u);  // one worker: never a slot pass
  EXPECT_EQ(gram_slot_count(25, 801, 64, 4), 25u);     // budget 26 single-precision slots, 25 rows
  // 64 MiB over 8 MiB matrices (p = 1024 doubles) leaves eight slots.
  EXPECT_EQ(gram_slot_count(100, 1024, 64, 8), 8u);
  // One matrix above 32 MiB: none, in both precisions, even when n*p*p overflows.
  EXPECT_EQ(gram_slot_count(1'000, 2049, 8, 8), 0u);
  EXPECT_EQ(gram_slot_count(1'000, 2897, 8, 4), 0u);
  EXPECT_EQ(gram_slot_count(1'000, 2896, 8, 4), 2u);
  EXPECT_EQ(gram_slot_count(kMax, 2048, 8, 8), 2u);
  EXPECT_EQ(gram_slot_count(kMax, kMax, 8, 8), 0u);
}

TEST(PartitionTest, ReduceSlotsZeroesThenAddsInSlotOrder) {
  // 1 + 2^53 - 2^53 is 0 in this order, 1 in any other association.
  const double big = 9007199254740992.0;
  const std::vector<double> partials = {1.0, 5.0, big, 1.0, -big, 1.0};
  std::vector<double> target(3, std::numeric_limits<double>::quiet_NaN());
  reduce_slots<double>(partials, 3, 2, target);
  EXPECT_EQ(target, (std::vector<double>{0.0, 7.0, 0.0}));
}

// Every slot past the first fails with a message naming it; the pass must
// report the lowest-numbered failing slot among those that ran, for any
// pool size and scheduling.
TEST(PartitionTest, SlotPassReportsTheLowestFailingSlotThatRan) {
  static constexpr const char* names[] = {"slot 0", "slot 1", "slot 2", "slot 3", "slot 4", "slot 5", "slot 6"};
  for (int threads : {1, 2, 3}) {
    std::vector<std::atomic<bool>> ran(7);
    tbb::task_arena arena(threads);
    const Status status = arena.execute([&] {
      return slot_pass(7, [&](std::uint64_t k) -> Status {
        ran[k] = true;
        if (k == 0) return {};
        return fail(EngineError::batch(names[k]));
      });
    });
    ASSERT_FALSE(status.has_value());
    std::uint64_t lowest = 1;
    while (!ran[lowest]) ++lowest;
    EXPECT_EQ(status.error().message, names[lowest]) << threads << " threads";
  }
}

TEST(PartitionTest, SlotPassRunsEverySlotOnceOnSuccess) {
  std::vector<std::atomic<int>> calls(5);
  EXPECT_TRUE(slot_pass(5, [&](std::uint64_t k) -> Status {
    ++calls[k];
    return {};
  }));
  for (const auto& c : calls) EXPECT_EQ(c, 1);
  EXPECT_TRUE(slot_pass(0, [](std::uint64_t) -> Status { return fail(EngineError::overflow()); }));
}

}  // namespace
}  // namespace vintrel::core
