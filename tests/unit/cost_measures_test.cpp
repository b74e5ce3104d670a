// Move-to-front costs, the order-2 context sort and the low-redundancy test.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

using testdata::random_bytes;

TEST(CostMeasures, MoveToFrontPositionsRepeatsAndRunsOfOneByte) {
  const Bytes b = {1, 2, 1, 1, 9};
  uint32_t repeats = 99;
  // positions 1, 2, 1, miss (8); one repeat
  EXPECT_EQ(mtf_cost8(b.data(), 5, &repeats), 12.0 / 4.0);
  EXPECT_EQ(repeats, 1u);
  // with 16 entries 9 is in the list at position 9
  EXPECT_EQ(mtf_cost16(b.data(), 5, &repeats), 13.0 / 4.0);
  // the list starts with 0, so a block of zeros is all repeats
  const Bytes zeros(1000, 0x00);
  EXPECT_EQ(mtf_cost16(zeros.data(), 1000, &repeats), 0.0);
  EXPECT_EQ(repeats, 1000u);
  const Bytes letters(1000, 'A');
  EXPECT_EQ(mtf_cost16(letters.data(), 1000, &repeats), 16.0);  // only the first byte is coded
  EXPECT_EQ(repeats, 999u);
  EXPECT_EQ(mtf_cost8(letters.data(), 0, &repeats), 0.0);
  EXPECT_EQ(repeats, 0u);
}

// The list held in registers against a plain list, on bytes drawn from small
// alphabets so that hits at every position, misses and repeats all occur.
template <uint32_t size>
double plain_mtf_cost(const Bytes& bytes, uint32_t* repeats) {
  uint8_t list[size];
  for (uint32_t k = 0; k < size; ++k) list[k] = static_cast<uint8_t>(k);
  uint64_t sum = 0;
  uint32_t coded = 0;
  *repeats = 0;
  for (uint8_t x : bytes) {
    uint32_t j = 0;
    while (j < size && list[j] != x) ++j;
    if (j == 0) {
      ++*repeats;
      continue;
    }
    ++coded;
    sum += j;
    for (uint32_t k = (j < size ? j : size - 1); k > 0; --k) list[k] = list[k - 1];
    list[0] = x;
  }
  return coded == 0 ? 0.0 : static_cast<double>(sum) / coded;
}

TEST(CostMeasures, MatchesAPlainListOnEveryAlphabetSize) {
  std::vector<Bytes> inputs;
  for (uint32_t alphabet : {3u, 9u, 17u, 24u, 256u}) {
    Bytes b = random_bytes(5000, alphabet);
    for (uint8_t& x : b) x = static_cast<uint8_t>(x % alphabet + (alphabet == 24 ? 0xE0 : 0));
    inputs.push_back(b);
  }
  // Cycles of k values hit rank k - 1 again and again (k = 17 always
  // misses); lengths around the 16 bytes of the list; bytes of the high half
  // and values the starting list holds.
  for (uint32_t k = 1; k <= 17; ++k) {
    Bytes cycle(300);
    for (uint32_t i = 0; i < cycle.size(); ++i) cycle[i] = static_cast<uint8_t>(0xF8 - 3 * (i % k));
    inputs.push_back(cycle);
  }
  for (uint32_t n : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u}) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
      Bytes b = random_bytes(n, seed);
      if (seed % 2 == 0)
        for (uint8_t& x : b) x = static_cast<uint8_t>(x % 20 + (seed == 4 ? 0x78 : 0));
      inputs.push_back(b);
    }
  }
  // Long strings are measured in quarters side by side, each from the list
  // the one before leaves: lengths around the split and the counters' 255
  // steps; few values, so that the list at the split still holds values of
  // the starting list; a repeat across the split; runs of one value.
  for (uint32_t n : {4095u, 4096u, 4097u, 4351u, 4352u, 9001u}) {
    for (uint32_t alphabet : {2u, 5u, 40u}) {
      Bytes b = random_bytes(n, n + alphabet);
      for (uint8_t& x : b) x = static_cast<uint8_t>(0xF0 + x % alphabet - (alphabet == 5 ? 0xEE : 0));
      inputs.push_back(b);
    }
    Bytes runs(n, 7);
    for (uint32_t i = n / 2 - 1; i < n; i += 300) runs[i] = static_cast<uint8_t>(i % 256);
    inputs.push_back(runs);
    // The first half uses two values of the starting list, the second brings
    // in others of it, whose ranks depend on where the first half left them.
    Bytes later = random_bytes(n, n);
    for (uint32_t i = 0; i < n; ++i) later[i] = i < n / 2 ? (later[i] % 2 ? 3 : 5) : "\x03\x05\x09\x0E\x0F"[later[i] % 5];
    inputs.push_back(later);
  }
  for (const Bytes& b : inputs) {
    const auto n = static_cast<uint32_t>(b.size());
    const size_t which = &b - inputs.data();
    uint32_t expected_repeats = 0;
    uint32_t repeats = 0;
    EXPECT_EQ(mtf_cost8(b.data(), n, &repeats), plain_mtf_cost<8>(b, &expected_repeats)) << which;
    EXPECT_EQ(repeats, expected_repeats) << which;
    EXPECT_EQ(mtf_cost16(b.data(), n, &repeats), plain_mtf_cost<16>(b, &expected_repeats)) << which;
    EXPECT_EQ(repeats, expected_repeats) << which;
  }
}

// The 16-entry list run over the whole string, its positions summed over
// bytes[from, to) only; position_sum8 as the 8-entry list counts them.
MtfSums plain_part_sums(const Bytes& bytes, uint32_t from, uint32_t to) {
  uint8_t list[16];
  for (uint32_t k = 0; k < 16; ++k) list[k] = static_cast<uint8_t>(k);
  MtfSums s;
  for (uint32_t i = 0; i < to; ++i) {
    uint32_t j = 0;
    while (j < 16 && list[j] != bytes[i]) ++j;
    if (i >= from) {
      if (j == 0) {
        ++s.repeats;
      } else {
        ++s.coded;
        s.position_sum += j;
        s.position_sum8 += j < 8 ? j : 8;
      }
    }
    for (uint32_t k = (j < 16 ? j : 15); k > 0; --k) list[k] = list[k - 1];
    list[0] = bytes[i];
  }
  return s;
}

TEST(CostMeasures, PartsMeasuredFromTheListBeforeThemAddUp) {
  // A part starts from the list the bytes before it leave; parts of 4,096
  // bytes and more go in four quarters side by side, each quarter's list
  // found from the one before, the last one taking the bytes past the
  // fourth. Cuts at the string's ends, in runs, where few values have been
  // seen (the starting list's values behind them, or those of a quarter
  // before), and parts of every length around the quarters.
  std::vector<Bytes> inputs;
  for (uint32_t alphabet : {2u, 5u, 17u, 40u, 256u}) {
    Bytes b = random_bytes(40000, alphabet);
    for (uint8_t& x : b) x = static_cast<uint8_t>(0xF0 + x % alphabet - (alphabet == 5 ? 0xEE : 0));
    inputs.push_back(b);
  }
  Bytes runs(40000, 7);
  for (uint32_t i = 100; i < runs.size(); i += 300) runs[i] = static_cast<uint8_t>(i % 256);
  inputs.push_back(runs);
  Bytes few = random_bytes(40000, 3);
  for (uint32_t i = 0; i < few.size(); ++i) few[i] = i < 10000 ? (few[i] % 2 ? 3 : 200) : "\x05\x09\xF0\x03"[few[i] % 4];
  inputs.push_back(few);
  const uint32_t cuts[][3] = {{0, 0, 40000},      {0, 1, 2},          {1, 4095, 8191},   {3, 4099, 8199},
                              {100, 4200, 40000}, {5000, 9096, 9097}, {0, 16385, 32769}, {39999, 40000, 40000}};
  for (const Bytes& b : inputs) {
    const size_t which = &b - inputs.data();
    for (const auto& cut : cuts) {
      MtfSums whole;
      MtfMeter meter(b.data());
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t from = k == 0 ? 0 : cut[k - 1];
        const MtfSums part = meter.measure_to(cut[k]);
        const MtfSums expected = plain_part_sums(b, from, cut[k]);
        EXPECT_EQ(part.position_sum, expected.position_sum) << which << " " << from << ".." << cut[k];
        EXPECT_EQ(part.position_sum8, expected.position_sum8) << which << " " << from << ".." << cut[k];
        EXPECT_EQ(part.coded, expected.coded) << which << " " << from << ".." << cut[k];
        EXPECT_EQ(part.repeats, expected.repeats) << which << " " << from << ".." << cut[k];
        whole.add(part);
      }
      uint32_t repeats = 0;
      const Bytes prefix(b.begin(), b.begin() + cut[2]);
      EXPECT_EQ(whole.cost16(), mtf_cost16(prefix.data(), cut[2], &repeats)) << which;
      EXPECT_EQ(whole.repeats, repeats) << which;
      EXPECT_EQ(whole.cost8(), mtf_cost8(prefix.data(), cut[2])) << which;
    }
  }
}

Bytes g_measured;
double capture(const uint8_t* bytes, uint32_t n, uint32_t*) {
  g_measured.assign(bytes, bytes + n);
  return 1.5;
}

TEST(CostMeasures, ContextSortIsStableAndCyclic) {
  // contexts: x2 <- (x1, x0) = 0x0203, x3 <- (x2, x1) = 0x0102,
  // x0 <- (x3, x2) = 0x0201, x1 <- (x0, x3) = 0x0302
  const Bytes x = {3, 2, 1, 2};
  EXPECT_EQ(context_sorted_cost(x.data(), 4, capture), 1.5);
  EXPECT_EQ(g_measured, (Bytes{2, 3, 1, 2}));
  // equal contexts keep the placement order x2..x(n-1), x0, x1
  const Bytes same = {7, 7, 7, 7, 7};
  context_sorted_cost(same.data(), 5, capture);
  EXPECT_EQ(g_measured, same);
  const Bytes two = {2, 3};  // x0 <- (x1, x0) = 0x0302, x1 <- (x0, x1) = 0x0203
  context_sorted_cost(two.data(), 2, capture);
  EXPECT_EQ(g_measured, (Bytes{3, 2}));
  const Bytes one = {42};
  context_sorted_cost(one.data(), 1, capture);
  EXPECT_EQ(g_measured, one);
}

TEST(LowRedundancy, BothCostsMustExceedTheThreshold) {
  // Each byte is one of four values chosen by the byte before it: random in
  // its own order, predictable once grouped by context.
  const Bytes noise = random_bytes(40000, 5);
  Bytes chained(40000);
  chained[0] = noise[0];
  for (size_t i = 1; i < chained.size(); ++i)
    chained[i] = static_cast<uint8_t>(chained[i - 1] * 167 + 13 + noise[i] % 4);
  EXPECT_GT(mtf_cost8(chained.data(), 40000), 7.4);
  EXPECT_LE(context_sorted_cost(chained.data(), 40000, mtf_cost8), 7.4);
  // Random bytes each doubled: repeats do not count.
  Bytes pairs = noise;
  for (size_t i = 1; i < pairs.size(); i += 2) pairs[i] = pairs[i - 1];

  const struct {
    const char* what;
    Bytes block;
    double plain, sorted;  // the two costs, where the row pins them (-1: not)
    uint8_t type;
  } cases[] = {
      {"random", random_bytes(60000, 3), -1, -1, BLOCK_LOW_REDUNDANCY},
      {"chained", chained, -1, -1, 0},
      {"random pairs", pairs, -1, -1, BLOCK_LOW_REDUNDANCY},
      {"one byte", {0xAB}, -1, -1, 0},
      {"zeros: all repeats", Bytes(5000, 0), 0.0, 0.0, 0},
      {"a run of a value >= 8", Bytes(5000, 0x41), 8.0, 8.0, BLOCK_LOW_REDUNDANCY},
      // 20 is a miss (8), after which 6 stands at position 7; sorting by
      // context keeps the order.
      {"both 7.5", {20, 6}, 7.5, 7.5, BLOCK_LOW_REDUNDANCY},
      {"plain exactly 7.4", {50, 100, 5, 200, 2}, 7.4, 7.6, 0},
      {"sorted exactly 7.4", {21, 7, 6, 20, 2}, 7.6, 7.4, 0},
  };
  for (const auto& c : cases) {
    const auto n = static_cast<uint32_t>(c.block.size());
    if (c.plain >= 0) {
      EXPECT_EQ(mtf_cost8(c.block.data(), n), c.plain) << c.what;
      EXPECT_EQ(context_sorted_cost(c.block.data(), n, mtf_cost8), c.sorted) << c.what;
    }
    EXPECT_EQ(test_low_redundancy(c.block.data(), n), c.type) << c.what;
  }
  EXPECT_GT(mtf_cost8(cases[0].block.data(), 60000), 7.8);
}

}  // namespace
}  // namespace tarn
