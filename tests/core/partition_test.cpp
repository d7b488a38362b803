#include "core/kernels/partition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <vector>

#include <oneapi/tbb/task_arena.h>

namespace vintrel::core {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
using Range = std::pair<std::uint64_t, std::uint64_t>;

TEST(PartitionTest, SlotRowsAreContiguousWithEmptyTrailingSlots) {
  EXPECT_EQ(slot_rows(9, 4, 0), Range(0, 3));
  EXPECT_EQ(slot_rows(9, 4, 2), Range(6, 9));
  EXPECT_EQ(slot_rows(9, 4, 3), Range(9, 9));
  EXPECT_EQ(slot_rows(kMax, 2, 5), Range(kMax, kMax));  // an overflowing start clamps to the end
}

TEST(PartitionTest, ThresholdsAndSlotCounts) {
  EXPECT_FALSE(rows_are_parallel(999'999, 1));
  EXPECT_TRUE(rows_are_parallel(1'000'000, 1));
  EXPECT_TRUE(rows_are_parallel(kMax, 2));  // an overflowing product is above every threshold
  EXPECT_EQ(gradient_slot_count(999'999, 1, 8), 0u);
  EXPECT_EQ(gradient_slot_count(3, 400'000, 8), 3u);  // never more slots than rows

  EXPECT_EQ(gram_slot_count(999'999, 4, 8, 8), 0u);  // n*p*p just below 16,000,000
  EXPECT_EQ(gram_slot_count(1'000'000, 4, 8, 8), 8u);
  EXPECT_EQ(gram_slot_count(1'000'000, 4, 1, 8), 1u);
  EXPECT_EQ(gram_slot_count(25, 801, 64, 4), 25u);  // room for 26 single-precision slots, 25 rows
  EXPECT_EQ(gram_slot_count(kMax, 2048, 8, 8), 2u);  // 32 MiB matrices, overflowing work
  EXPECT_EQ(gram_slot_count(1'000, 2049, 8, 8), 0u);  // one matrix above 32 MiB
  EXPECT_EQ(gram_slot_count(1'000, 2897, 8, 4), 0u);
}

TEST(PartitionTest, ReduceSlotsZeroesThenAddsInSlotOrder) {
  const double big = 9007199254740992.0;  // 1 + 2^53 - 2^53 is 0 in slot order, 1 otherwise
  std::vector<double> storage = {1.0, 5.0, -0.0, big, 1.0, -0.0, -big, 1.0, -0.0};
  std::vector<double> target(2, std::numeric_limits<double>::quiet_NaN());
  reduce_slots<double>({.slots = 3, .width = 2, .stride = 3, .storage = storage}, target);
  EXPECT_EQ(target, (std::vector<double>{0.0, 7.0}));
}

// Fewer areas than slots: the slots run in waves and the running sum keeps
// the slot order, so any number of areas gives the same bits, zero signs
// included; the areas needed stop growing at the running threads.
TEST(PartitionTest, SlotPassInWavesAddsInSlotOrder) {
  const double big = 9007199254740992.0;
  const std::vector<std::vector<double>> slot_values = {{1.0, -0.0}, {big, -0.0}, {-big, -0.0}, {1.0, -0.0},
                                                        {-1.0, -0.0}};
  std::vector<double> flat, expected(2);
  for (const auto& values : slot_values) flat.insert(flat.end(), values.begin(), values.end());
  reduce_slots<double>({.slots = 5, .width = 2, .stride = 2, .storage = flat}, expected);
  for (std::uint64_t areas : {2, 3, 4, 5, 6}) {
    std::vector<double> storage(areas * 3, std::numeric_limits<double>::quiet_NaN()), target(2);
    std::vector<std::uint64_t> pieces(5);
    const Status status = reduce_slot_pass<double>(
        {.slots = 5, .width = 2, .stride = 3, .storage = storage}, target,
        [&](std::uint64_t k, std::uint64_t piece, std::span<double> area) -> Status {
          std::copy(slot_values[k].begin(), slot_values[k].end(), area.begin());
          pieces[k] = piece;
          return {};
        });
    ASSERT_TRUE(status);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(target[1]), 0u) << areas << " areas";  // +0.0
    EXPECT_EQ(target, expected) << areas << " areas";
    const std::uint64_t at_once = areas >= 5 ? 5 : areas - 1;  // pieces of scratch in use
    EXPECT_LT(*std::max_element(pieces.begin(), pieces.end()), at_once) << areas << " areas";
  }
  EXPECT_EQ(partial_areas(3, 2), 3u);
  EXPECT_EQ(partial_areas(32'768, 2), 3u);
}

// Every slot but the first fails with its own message: whatever the
// scheduling, the lowest-numbered failing slot that ran must be reported.
TEST(PartitionTest, SlotPassReportsTheLowestFailingSlotThatRan) {
  static constexpr const char* names[] = {"0", "1", "2", "3", "4", "5", "6"};
  for (int threads : {1, 2, 3}) {
    std::vector<std::atomic<bool>> ran(7);
    const Status status = tbb::task_arena(threads).execute([&] {
      return slot_pass(0, 7, [&](std::uint64_t k) -> Status {
        ran[k] = true;
        if (k == 0) return {};
        return fail(EngineError::batch(names[k]));
      });
    });
    std::uint64_t lowest = 1;
    while (!ran[lowest]) ++lowest;
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, names[lowest]) << threads << " threads";
  }
}

}  // namespace
}  // namespace vintrel::core
