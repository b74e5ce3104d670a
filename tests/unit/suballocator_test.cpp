// The model's heap: its split, the free lists, the text area and the
// rarer paths (splitting, gluing, moving units up).
#include <gtest/gtest.h>

#include <algorithm>

#include "coder/suballocator.h"

namespace tarn {
namespace {

using ppm_tables::INDEX_TO_UNITS;

class SubAllocatorTest : public ::testing::Test {
 protected:
  void start(uint32_t size) {
    ASSERT_TRUE(heap.start_suballocator(size));
    heap.init_suballocator();
  }
  // Takes contexts from hi_unit until the gap between lo_unit and hi_unit is gone.
  void use_up_gap() {
    while (heap.hi_unit() != heap.lo_unit()) heap.alloc_context();
  }
  SubAllocator heap;
};

TEST_F(SubAllocatorTest, TwentyFiveMegabyteHeapSplitsIntoTextAndUnitsAndUsedMemoryCountsUnits) {
  start(25u << 20);
  EXPECT_EQ(heap.hi_unit() - heap.units_start(), 22937544u);
  EXPECT_EQ(heap.units_start() - heap.text_ptr(), 3276856u);
  EXPECT_EQ(heap.lo_unit(), heap.units_start());
  EXPECT_EQ(heap.get_used_memory(), 0u);
  const uint32_t a = heap.alloc_units(5);  // cut as 6 units
  heap.alloc_context();
  EXPECT_EQ(heap.get_used_memory(), 7u * 12);
  heap.free_units(a, 5);
  EXPECT_EQ(heap.get_used_memory(), 12u);
}

TEST_F(SubAllocatorTest, FreedBlocksGoToTheListOfTheirSize) {
  start(1u << 20);
  const struct { uint32_t nu; unsigned list; } cases[] = {{1, 0}, {5, 4}, {6, 4}, {13, 8}, {29, 13}, {128, 37}};
  for (const auto& c : cases) {
    uint32_t block = heap.alloc_units(c.nu);
    ASSERT_NE(block, 0u);
    uint32_t count = heap.list_count(c.list);
    heap.free_units(block, c.nu);
    EXPECT_EQ(heap.list_count(c.list), count + 1) << c.nu;
    EXPECT_EQ(heap.list_first(c.list), block);
    EXPECT_EQ(heap.block_at(block)->nu(), INDEX_TO_UNITS[c.list]);
    // The same request is served from that list again.
    EXPECT_EQ(heap.alloc_units(c.nu), block);
  }
}

TEST_F(SubAllocatorTest, SpecialFreeAtUnitsStartWidensTheTextArea) {
  start(1u << 20);
  uint32_t bottom = heap.alloc_units(1);
  heap.alloc_units(1);
  uint32_t third = heap.alloc_units(1);
  ASSERT_EQ(bottom, heap.units_start());
  heap.special_free_unit(bottom);
  EXPECT_EQ(heap.units_start(), bottom + 12);
  EXPECT_EQ(heap.list_count(0), 0u);
  heap.special_free_unit(third);
  EXPECT_EQ(heap.list_first(0), third);
  EXPECT_EQ(heap.list_count(0), 1u);
}

TEST_F(SubAllocatorTest, TextAreaFallbackNeedsMoreThanTheRequestedBytes) {
  start(1u << 20);
  use_up_gap();
  heap.set_glue_count(100);  // no merge pass; lists 1..37 are empty
  uint32_t top = heap.units_start();
  heap.set_text_ptr(top - 25);
  EXPECT_EQ(heap.alloc_units(2), top - 24);
  EXPECT_EQ(heap.units_start(), top - 24);
  heap.set_text_ptr(heap.units_start() - 24);
  EXPECT_EQ(heap.alloc_units(2), 0u);
  EXPECT_EQ(heap.units_start(), top - 24);
}

TEST_F(SubAllocatorTest, RareAllocationSplitsALargerFreeBlock) {
  start(1u << 20);
  uint32_t big = heap.alloc_units(128);
  use_up_gap();
  heap.free_units(big, 128);
  heap.set_glue_count(100);
  EXPECT_EQ(heap.alloc_units(1), big);
  // The 127-unit rest goes to the 124-unit list and the 3-unit list.
  EXPECT_EQ(heap.list_first(36), big + 12);
  EXPECT_EQ(heap.list_first(2), big + 12 * 125);
  EXPECT_EQ(heap.block_at(big + 12 * 125)->nu(), 3u);
}

TEST_F(SubAllocatorTest, GlueMergesNeighbouringFreeBlocks) {
  start(1u << 20);
  uint32_t a = heap.alloc_units(1);
  uint32_t b = heap.alloc_units(2);
  uint32_t c = heap.alloc_units(4);
  heap.alloc_units(1);  // keeps the run from touching the gap
  use_up_gap();
  heap.free_units(c, 4);
  heap.free_units(a, 1);
  heap.free_units(b, 2);
  ASSERT_EQ(heap.glue_count(), 0u);
  // 7 units merged = a 6-unit block in list 4 plus 1 unit behind it in list 0.
  EXPECT_EQ(heap.alloc_units(6), a);
  EXPECT_EQ(heap.glue_count(), 8192u);
  EXPECT_EQ(heap.list_count(0), 1u);
  EXPECT_EQ(heap.list_first(0), a + 12 * 6);
  EXPECT_EQ(heap.list_count(1) + heap.list_count(3), 0u);
}

TEST_F(SubAllocatorTest, ExpandTextAreaReclaimsFreeBlocksAtTheBottomAndWalksOnWhenTheGapIsGone) {
  start(1u << 20);
  uint32_t a = heap.alloc_units(2);
  uint32_t b = heap.alloc_units(3);
  uint32_t c = heap.alloc_units(1);
  heap.free_units(b, 3);
  heap.free_units(a, 2);
  heap.expand_text_area();
  EXPECT_EQ(heap.units_start(), c);
  EXPECT_EQ(heap.list_count(1), 0u);
  EXPECT_EQ(heap.list_count(2), 0u);
  EXPECT_EQ(heap.list_first(1), 0u);

  start(1u << 20);
  use_up_gap();  // contexts now reach down to units_start
  const uint32_t bottom = heap.units_start();
  ASSERT_EQ(heap.lo_unit(), bottom);
  heap.free_units(bottom + 12, 1);
  heap.free_units(bottom, 1);
  heap.expand_text_area();
  EXPECT_EQ(heap.units_start(), bottom + 24);
  EXPECT_EQ(heap.list_count(0), 0u);
  EXPECT_EQ(heap.list_first(0), 0u);
}

// A walk that runs into a free-looking header left in the gap by an earlier
// model leaves units_start above lo_unit: blocks the gap hands out next lie
// below units_start, and a later walk must still leave them listed.
TEST_F(SubAllocatorTest, ExpandTextAreaAfterAWalkIntoTheGapKeepsTheBlocksBelowUnitsStart) {
  start(1u << 16);
  const uint32_t u0 = heap.units_start();
  heap.alloc_units(1);
  heap.free_units(heap.alloc_units(1), 1);  // a free header at u0 + 12
  heap.init_suballocator();                 // a restart keeps the heap's bytes
  heap.free_units(heap.alloc_units(1), 1);
  heap.expand_text_area();
  ASSERT_EQ(heap.units_start(), u0 + 24);
  ASSERT_EQ(heap.lo_unit(), u0 + 12);
  const uint32_t y = heap.alloc_units(1);
  std::fill_n(heap.heap() + y, 12, uint8_t{0x33});
  heap.free_units(y, 1);
  const uint32_t z = heap.alloc_units(2);
  std::fill_n(heap.heap() + z, 24, uint8_t{0x44});
  heap.free_units(z, 2);
  heap.expand_text_area();
  EXPECT_EQ(heap.list_count(0), 1u);
  EXPECT_EQ(heap.list_first(0), u0 + 12);
  EXPECT_EQ(heap.alloc_units(1), u0 + 12);
}

TEST_F(SubAllocatorTest, MoveUnitsUpUsesAHigherFreeBlock) {
  start(1u << 20);
  uint32_t low = heap.alloc_units(2);
  heap.alloc_units(2);
  uint32_t high = heap.alloc_units(2);
  heap.alloc_units(1);
  heap.free_units(high, 2);
  heap.block_at(low)->set_stamp(0x12345678);
  EXPECT_EQ(heap.move_units_up(low, 2), high);
  EXPECT_EQ(heap.block_at(high)->stamp(), 0x12345678u);
  EXPECT_EQ(heap.units_start(), low + 24);  // the bottom block went to the text area
  // With the list empty the block stays where it is.
  EXPECT_EQ(heap.move_units_up(high, 2), high);
}

}  // namespace
}  // namespace tarn
