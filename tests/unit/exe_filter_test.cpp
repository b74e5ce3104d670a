// x86 filter: the operand rewriting examples, the detection threshold and
// round trips, also over data that is not code and blocks cut mid-instruction.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

// Encodes `block` with the walk (no padding), returns the output.
Bytes walk(const Bytes& block, uint32_t stream_position, X86Direction direction) {
  Bytes work(WORK_BUFFER_SIZE);
  std::memcpy(work.data(), block.data(), block.size());
  walk_x86_block(work.data(), static_cast<uint32_t>(block.size()), stream_position, direction);
  return Bytes(work.begin(), work.begin() + block.size());
}

// A block of NOPs with `code` placed at `offset`.
Bytes nops_with(uint32_t offset, const Bytes& code, uint32_t n = 0x200) {
  Bytes block(n, 0x90);
  std::copy(code.begin(), code.end(), block.begin() + offset);
  return block;
}

Bytes slice(const Bytes& b, uint32_t offset, uint32_t count) {
  return Bytes(b.begin() + offset, b.begin() + offset + count);
}

TEST(ExeFilter, CallTargetsBecomeStreamAbsoluteAndOtherFieldsMostSignificantFirst) {
  struct Case {
    uint32_t stream_position;
    Bytes in;
    Bytes out;
  };
  const Case cases[] = {
      // A call at block offset 0x100 with stream position 0x20000 targets
      // 0x20105 + 0x10; the next call to the same routine gives the same bytes.
      {0x20000,
       {0xE8, 0x10, 0x00, 0x00, 0x00, 0xE8, 0x0B, 0x00, 0x00, 0x00},
       {0xE8, 0x00, 0x02, 0x01, 0x15, 0xE8, 0x00, 0x02, 0x01, 0x15}},
      {0, {0xB8, 0x78, 0x56, 0x34, 0x12}, {0xB8, 0x12, 0x34, 0x56, 0x78}},
      {0, {0x66, 0xB8, 0x34, 0x12}, {0x66, 0xB8, 0x12, 0x34}},
      {0, {0x6A, 0x7F}, {0x6A, 0x7F}},
      // a conditional near jump is reversed, not made absolute
      {0, {0x0F, 0x85, 0x01, 0x02, 0x03, 0x04}, {0x0F, 0x85, 0x04, 0x03, 0x02, 0x01}},
      // F6 /0 with a 32-bit displacement and one immediate byte
      {0, {0xF6, 0x05, 0x11, 0x22, 0x33, 0x44, 0x7E}, {0xF6, 0x05, 0x44, 0x33, 0x22, 0x11, 0x7E}},
      // 66 keeps a 32-bit call target; 67 makes it a swapped 2-byte field
      {0, {0x66, 0xE8, 0x00, 0x00, 0x00, 0x00}, {0x66, 0xE8, 0x00, 0x00, 0x01, 0x06}},
      {0, {0x67, 0xE8, 0x34, 0x12}, {0x67, 0xE8, 0x12, 0x34}},
      // 82 takes no operands; far call copies address size + 2 bytes
      {0, {0x82, 0x9A, 1, 2, 3, 4, 5, 6}, {0x82, 0x9A, 1, 2, 3, 4, 5, 6}},
      // SIB with base 5 and mod 0 adds a 32-bit displacement
      {0, {0x8B, 0x04, 0x25, 1, 2, 3, 4}, {0x8B, 0x04, 0x25, 4, 3, 2, 1}},
      // ENTER: two fixed bytes and one immediate byte
      {0, {0xC8, 1, 2, 3}, {0xC8, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    const Bytes block = nops_with(0x100, c.in);
    const Bytes out = walk(block, c.stream_position, X86Direction::ENCODE);
    EXPECT_EQ(slice(out, 0x100, static_cast<uint32_t>(c.out.size())), c.out) << "case " << &c - cases;
    EXPECT_EQ(walk(out, c.stream_position, X86Direction::DECODE), block) << "case " << &c - cases;
  }
}

// n bytes of NOPs with `calls` bytes E8 spread evenly; the first `near` of
// them have 00 or FF four bytes on (the top byte of a near target).
Bytes calls_block(uint32_t n, uint32_t calls, uint32_t near) {
  Bytes block(n, 0x90);
  const uint32_t step = n / calls;
  for (uint32_t k = 0; k < calls; ++k) {
    block[k * step] = 0xE8;
    if (k < near) block[k * step + 4] = k % 2 ? 0xFF : 0x00;
  }
  return block;
}

TEST(ExeFilter, DetectionNeedsHundredBytesOneCallPer64AndNearTargets) {
  // Code has more than one E8/E9 byte per 64 bytes and more than a quarter
  // of them followed by a near target.
  Bytes tail(100, 0x90);
  tail[96] = 0xE8;  // calls in the last four bytes count as calls, never as near ones
  tail[97] = 0xE9;
  const struct {
    const char* what;
    Bytes block;
    bool code;
  } cases[] = {
      {"99 bytes", calls_block(99, 5, 2), false},
      {"100 bytes", calls_block(100, 5, 2), true},
      {"64 x 100 calls = 6400 bytes", calls_block(6400, 100, 100), false},
      {"64 x 100 calls > 6399 bytes", calls_block(6399, 100, 100), true},
      {"100 calls = 4 x 25 near", calls_block(6399, 100, 25), false},
      {"100 calls < 4 x 26 near", calls_block(6399, 100, 26), true},
      {"calls at the end", tail, false},
      {"65,636 calls: counted past 16 bits", calls_block(600000, 65636, 65636), true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detect_x86_code(c.block.data(), static_cast<uint32_t>(c.block.size())), c.code) << c.what;
}

TEST(ExeFilter, DetectionCountsAsAPlainScanDoes) {
  // Blocks around the decision's two limits, with calls and near targets
  // in the last bytes too.
  auto plain = [](const Bytes& b) {
    uint64_t calls = 0, near_targets = 0;
    for (size_t i = 0; i < b.size(); ++i) {
      if (b[i] != 0xE8 && b[i] != 0xE9) continue;
      ++calls;
      if (i + 4 < b.size() && (b[i + 4] == 0x00 || b[i + 4] == 0xFF)) ++near_targets;
    }
    return b.size() >= 100 && 64 * calls > b.size() && calls < 4 * near_targets;
  };
  uint32_t accepted = 0, checked = 0;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    testdata::Lcg rng(seed);
    Bytes b(96 + rng.next() % 4000);
    for (uint8_t& x : b) x = static_cast<uint8_t>(0x10 + rng.next() % 0x60);
    // About n / 64 calls (half to one and a half times), a sixth to a third
    // of them with a near target; the last five bytes anything.
    const auto calls = static_cast<uint32_t>(b.size() / 64 * (50 + rng.next() % 101) / 100);
    const uint32_t near_share = 16 + rng.next() % 18;
    for (uint32_t k = 0; k < calls; ++k) {
      const size_t i = rng.next() % b.size();
      b[i] = rng.next() % 2 == 0 ? 0xE8 : 0xE9;
      if (i + 4 < b.size() && rng.next() % 100 < near_share) b[i + 4] = rng.next() % 2 == 0 ? 0x00 : 0xFF;
    }
    const uint8_t tail[] = {0xE8, 0xE9, 0xEA, 0x00, 0xFF, 0x01};
    for (size_t k = b.size() - 5; k < b.size(); ++k) b[k] = tail[rng.next() % 6];
    const bool expected = plain(b);
    EXPECT_EQ(detect_x86_code(b.data(), static_cast<uint32_t>(b.size())), expected) << "seed " << seed;
    accepted += expected ? 1 : 0;
    ++checked;
  }
  EXPECT_GT(accepted, checked / 10);
  EXPECT_LT(accepted, checked * 9 / 10);
}

TEST(ExeFilter, LastInstructionReadsTheWalksOwnOutputPastThePadding) {
  // 81 05 disp32 imm32 at the very end: the immediate covers the last two
  // padding bytes and the walk's first two output bytes (B8 44 after the
  // first instruction's reversal), which land reversed in the padding.
  Bytes block(0x200, 0x90);
  for (uint32_t i = 16; i + 8 < block.size(); i += 32) std::copy_n("\xE8\x20\0\0\0", 5, block.begin() + i);
  std::copy_n("\xB8\x11\x22\x33\x44", 5, block.begin());
  block[0x1FE] = 0x81;
  block[0x1FF] = 0x05;
  Bytes work(WORK_BUFFER_SIZE, 0xEE);
  std::memcpy(work.data(), block.data(), block.size());
  uint32_t length = static_cast<uint32_t>(block.size());
  ASSERT_EQ(try_exe_filter(work.data(), length, 0), BLOCK_EXE);
  ASSERT_EQ(length, 0x206u);
  EXPECT_EQ(slice(work, 0x200, 6), (Bytes{0, 0, 0, 0, 0x44, 0xB8}));
  undo_exe_filter(work.data(), length, 0);
  EXPECT_EQ(Bytes(work.begin(), work.begin() + length), block);
}

TEST(ExeFilter, AnyBytesRoundTripWhateverTheStreamPosition) {
  testdata::Lcg rng(1);
  for (int round = 0; round < 40; ++round) {
    const uint32_t n = 100 + round * 997;
    Bytes block(n);
    for (uint8_t& b : block) {
      const uint32_t r = rng.next();
      b = (r % 9 == 0) ? 0xE8 : (r % 13 == 0) ? 0x0F : (r % 17 == 0) ? 0x66 : static_cast<uint8_t>(r);
    }
    const uint32_t position = rng.next() * 256;
    Bytes work(WORK_BUFFER_SIZE);
    std::memcpy(work.data(), block.data(), n);
    uint32_t length = n + 6;  // the padding keeps fields cut at the end
    walk_x86_block(work.data(), length, position, X86Direction::ENCODE);
    undo_exe_filter(work.data(), length, position);
    EXPECT_EQ(length, n);
    EXPECT_EQ(Bytes(work.begin(), work.begin() + n), block) << "round " << round;
  }
}

}  // namespace
}  // namespace tarn
