// Stride and multimedia filters: stride choice, the predictor and delta
// transforms, and round trips of every type of high nibble 3, 4 and 5.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

// Records of `stride` bytes plus some noise: each byte position a slow
// wave of its own, or (`walk`) one random walk shared with an offset per
// position.
Bytes make_records(uint32_t n, uint32_t stride, uint32_t noise, uint32_t seed, bool walk = false) {
  testdata::Lcg rng(seed);
  Bytes out(n);
  int level = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t channel = i % stride;
    const double t = static_cast<double>(i / stride);
    int value;
    if (walk) {
      level += static_cast<int>(rng.next() % 7) - 3;
      value = level;
    } else {
      value = static_cast<int>(100.0 * std::sin(t / (9.0 + 3.0 * channel) + channel));
    }
    out[i] = static_cast<uint8_t>(value + 60 * static_cast<int>(channel) + rng.next() % (noise + 1));
  }
  return out;
}

// `input` in a work buffer.
Bytes work_buffer(const Bytes& input) {
  Bytes work(WORK_BUFFER_SIZE);
  std::memcpy(work.data(), input.data(), input.size());
  return work;
}

struct Filtered {
  uint8_t type;
  Bytes restored;
};

Filtered filter_and_undo(const Bytes& input, bool stride_allowed = true, bool mm_allowed = true) {
  Bytes work = work_buffer(input);
  uint32_t length = static_cast<uint32_t>(input.size());
  Filtered f;
  f.type = try_stride_and_mm_filters(work.data(), length, stride_allowed, mm_allowed);
  if (f.type != 0) undo_stride_and_mm_filters(work.data(), length, f.type);
  f.restored.assign(work.begin(), work.begin() + length);
  return f;
}

TEST(StrideFilter, FindsTheRecordLength) {
  for (uint32_t stride = 2; stride <= 16; ++stride) {
    const Bytes block = make_records(8192, stride, 2, stride);
    EXPECT_EQ(detect_stride(block.data(), 8192), stride - 1) << "stride " << stride;
  }
}

// A flat block of 1024 bytes 100 with five bytes 102 at every second
// position from 300 (D[1] gains 20, D[2] 4, every other D[d] at least 8) and
// `spikes` single bytes 101, 40 apart from 600 (each adds 2 to every D[d]).
Bytes alternating_stretch(uint32_t spikes) {
  Bytes block(1024, 100);
  for (uint32_t k = 0; k < 5; ++k) block[300 + 2 * k] = 102;
  for (uint32_t k = 0; k < spikes; ++k) block[600 + 40 * k] = 101;
  return block;
}

Bytes from_index(uint32_t n, uint8_t (*f)(uint32_t)) {
  Bytes block(n);
  for (uint32_t i = 0; i < n; ++i) block[i] = f(i);
  return block;
}

TEST(StrideFilter, NeedsFortyPercentGainOverNeighbours) {
  // The smallest D[d] wins (the smaller d on equal sums), and only if
  // 3 x D[1] >= 5 x D[d].
  const struct {
    const char* what;
    Bytes block;
    uint32_t parameter;
  } cases[] = {
      // x[i] = i + 3 (i odd): distance 1 differs by 3 on average, distance 2
      // by 2 (the smallest), which is not 40 % better.
      {"odd bytes 3 up", from_index(200, [](uint32_t i) { return static_cast<uint8_t>(i + 3 * (i % 2)); }), 0},
      {"odd bytes 10 up", from_index(200, [](uint32_t i) { return static_cast<uint8_t>(i + 10 * (i % 2)); }), 1},
      {"distance 1 is best", from_index(4096, [](uint32_t i) { return static_cast<uint8_t>(i / 64); }), 0},
      {"every even distance sums 0", from_index(512, [](uint32_t i) { return static_cast<uint8_t>(i % 2 * 9); }), 1},
      {"3 x 38 > 5 x 22", alternating_stretch(9), 1},
      {"3 x 40 = 5 x 24", alternating_stretch(10), 1},
      {"3 x 42 < 5 x 26", alternating_stretch(11), 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detect_stride(c.block.data(), static_cast<uint32_t>(c.block.size())), c.parameter) << c.what;
  EXPECT_EQ(filter_and_undo(alternating_stretch(10), true, false).type, 0x31);
}

TEST(StrideFilter, DistanceSumsMatchThePositionByPositionSums) {
  // The sums as the definition reads: every position i adds |x[i] - x[i-d]|
  // to each distance d it reaches.
  auto plain_sums = [](const Bytes& block) {
    StrideSums sums{};
    for (uint32_t i = 1; i < block.size(); ++i)
      for (uint32_t d = 1; d <= 16 && d <= i; ++d) sums[d] += static_cast<uint32_t>(std::abs(block[i] - block[i - d]));
    return sums;
  };
  std::vector<Bytes> blocks;
  // Sizes around the vector widths and the 16,384-byte tiles the sums go
  // by, up to a full block; byte values at both ends of the range.
  for (uint32_t n : {0u, 1u, 2u, 15u, 16u, 17u, 31u, 33u, 511u, 4099u, 16383u, 16384u, 16385u, 16400u, 65536u,
                     65553u, 200001u, 262144u})
    blocks.push_back(testdata::random_bytes(n, n + 1));
  Bytes extremes(70000);
  for (size_t i = 0; i < extremes.size(); ++i) extremes[i] = (i * 7 % 3) == 0 ? 0 : 255;
  blocks.push_back(extremes);
  blocks.push_back(make_records(100000, 12, 3, 4));
  for (const Bytes& block : blocks) {
    StrideSums sums;
    stride_distance_sums(block.data(), static_cast<uint32_t>(block.size()), sums);
    EXPECT_EQ(sums, plain_sums(block)) << "size " << block.size();
  }
}

// The predictor as its rule reads, one byte at a time: the last byte, three
// differences, three weights, and every 32 bytes the weight whose change
// would have cut the error most moves by one.
// `limits` records the weights that reached an end of their range
// (bit 2k for weight k at -17, bit 2k + 1 at 16), `largest_sum` the
// largest error sum of a period.
struct PlainLms {
  int32_t p = 0, d1 = 0, d1_previous = 0, d2 = 0, d3 = 0, w[4] = {0, 0, 0, 0};
  int32_t errors[7] = {};
  uint32_t i = 0;

  // The prediction of the next byte; its differences move on.
  uint8_t predict(bool rounded) {
    d3 = d2;
    d2 = d1 - d1_previous;
    d1_previous = d1;
    auto prediction = static_cast<uint8_t>((w[1] * d1 + 8 * p + w[2] * d2 + w[3] * d3) >> 3);
    if (rounded && (d1 + d2 + d3) % 2 != 0) ++prediction;
    return prediction;
  }

  // The byte that came and its residual y.
  void update(uint8_t x, uint8_t y, uint32_t* limits, int32_t* largest_sum) {
    const int32_t f = 8 * static_cast<int8_t>(y);
    const int32_t d[4] = {0, d1, d2, d3};
    errors[0] += std::abs(f);
    for (int k = 1; k <= 3; ++k) {
      errors[2 * k - 1] += std::abs(f - d[k]);
      errors[2 * k] += std::abs(f + d[k]);
    }
    d1 = static_cast<int8_t>(static_cast<uint8_t>(x - p));
    p = x;
    if (i++ % 32 == 0) {
      int best = 0;
      for (int k = 1; k < 7; ++k)
        if (errors[k] < errors[best]) best = k;
      if (largest_sum)
        for (int32_t e : errors) *largest_sum = std::max(*largest_sum, e);
      for (int32_t& e : errors) e = 0;
      if (best != 0) {
        int32_t& weight = w[(best + 1) / 2];
        if (best % 2 == 1 && weight >= -16) --weight;
        if (best % 2 == 0 && weight < 16) ++weight;
        if (limits && (weight == -17 || weight == 16)) *limits |= 1u << ((best + 1) / 2 * 2 + (weight > 0 ? 1 : 0));
      }
    }
  }
};

Bytes plain_lms_residual(const Bytes& in, bool rounded, uint32_t* limits = nullptr, int32_t* largest_sum = nullptr) {
  PlainLms lms;
  Bytes out(in.size());
  for (uint32_t i = 0; i < in.size(); ++i) {
    out[i] = static_cast<uint8_t>(lms.predict(rounded) - in[i]);
    lms.update(in[i], out[i], limits, largest_sum);
  }
  return out;
}

TEST(MultimediaFilter, ResidualMatchesTheByteByBytePredictor) {
  std::vector<Bytes> blocks;
  // Lengths around the 32-byte periods; waves, walks, noise and hard edges
  // that drive the weights to both of their limits.
  for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 31u, 32u, 33u, 34u, 64u, 65u, 66u, 1000u})
    blocks.push_back(testdata::random_bytes(n, n));
  for (uint32_t stride = 1; stride <= 4; ++stride) {
    blocks.push_back(make_records(20000, stride, 2, stride));
    blocks.push_back(make_records(20001, stride, 30, stride + 10, true));
  }
  Bytes saw(30000);
  for (uint32_t i = 0; i < saw.size(); ++i) saw[i] = static_cast<uint8_t>((i % 50 < 25 ? 9 * (i % 50) : 0) ^ (i / 997));
  blocks.push_back(saw);
  Bytes edges(30000);
  for (uint32_t i = 0; i < edges.size(); ++i) edges[i] = (i / 3) % 2 == 0 ? 0 : 255;
  blocks.push_back(edges);
  // Signals following x[i] = x[i-1] + a d1 + b d2 + c d3 (plus noise, and
  // now and then a jump) push each weight to one end of its range.
  const struct {
    double a, b, c;
    int32_t noise;
    uint32_t jumps;
  } recurrences[] = {{-1.5, -1, 0, 2, 0}, {2, -1, 0, 2, 7}, {-1, 0, 2, 2, 0},
                     {-1, 2, 0, 2, 0},    {1, 2, -2, 20, 0}, {0.5, -2, 0, 2, 7},
                     {-2, 0, 2, 20, 7},   {-1, -1, -2, 2, 7}};
  for (const auto& r : recurrences) {
    testdata::Lcg rng(5);
    Bytes x = {0, 0, 0, 0};
    auto diff = [&](size_t back) { return static_cast<int8_t>(static_cast<uint8_t>(x[x.size() - back] - x[x.size() - back - 1])); };
    for (uint32_t i = 0; i < 6000; ++i) {
      const int32_t d1 = diff(1), d1_previous = diff(2), d1_before = diff(3);
      int32_t v = x.back() + static_cast<int32_t>(r.a * d1 + r.b * (d1 - d1_previous) + r.c * (d1_previous - d1_before));
      v += static_cast<int32_t>(rng.next() % static_cast<uint32_t>(2 * r.noise + 1)) - r.noise;
      if (r.jumps != 0 && i % r.jumps == 0) v += static_cast<int32_t>(rng.next() % 121) - 60;
      x.push_back(static_cast<uint8_t>(v));
    }
    blocks.emplace_back(x.begin() + 4, x.end());
  }
  uint32_t limits = 0;
  for (const Bytes& block : blocks) {
    for (bool rounded : {false, true}) {
      const auto n = static_cast<uint32_t>(block.size());
      const Bytes expected = plain_lms_residual(block, rounded, &limits);
      for (LmsLanes lanes : {LmsLanes::widest, LmsLanes::narrow}) {
        Bytes out(n);
        lms_residual(block.data(), out.data(), n, rounded, lanes);
        EXPECT_EQ(out, expected) << "size " << n << " rounded " << rounded << " narrow " << (lanes == LmsLanes::narrow);
        Bytes in_place = block;
        lms_residual(in_place.data(), in_place.data(), n, rounded, lanes);
        EXPECT_EQ(in_place, out) << "in place, size " << n;
      }
    }
  }
  EXPECT_EQ(limits, 0xFCu) << "every weight at both ends of its range";
}

// The largest differences: steps of 127 and 128 (-128 as a signed byte)
// make d1 reach both ends and d2 and d3 reach 255 in size, and the residuals
// come near 8 * 128, so a period's error sums pass 32767. Blocks end on
// every position of a vector and a period, and on both sides of the 4096
// bytes the residual reads at a time; the residual is also taken in place,
// in the widest lanes the processor has and in 128-bit ones.
TEST(MultimediaFilter, ResidualMatchesAtTheLargestDifferencesAndAnyLength) {
  std::vector<Bytes> blocks;
  testdata::Lcg rng(11);
  for (uint32_t pattern = 0; pattern < 4; ++pattern) {
    Bytes b(9000);
    uint8_t x = 0;
    for (uint32_t i = 0; i < b.size(); ++i) {
      const bool up = pattern == 0 ? i % 2 == 0 : pattern == 1 ? i % 3 == 0 : pattern == 2 ? rng.next() % 2 == 0 : i % 5 < 2;
      x = static_cast<uint8_t>(x + (up ? 127 : 128));
      b[i] = x;
    }
    blocks.push_back(b);
  }
  Bytes halves(9000);  // 0x00 and 0x80 in runs of one to three
  for (uint32_t i = 0; i < halves.size(); ++i) halves[i] = (i / (1 + i % 3)) % 2 == 0 ? 0x00 : 0x80;
  blocks.push_back(halves);
  int32_t largest = 0;
  for (const Bytes& block : blocks) {
    for (bool rounded : {false, true}) {
      for (uint32_t n : {33u, 40u, 41u, 47u, 57u, 63u, 4095u, 4096u, 4097u, 4098u, 4104u, 4128u, 4129u, 8193u, 8194u, 9000u}) {
        const Bytes in(block.begin(), block.begin() + n);
        const Bytes expected = plain_lms_residual(in, rounded, nullptr, &largest);
        for (LmsLanes lanes : {LmsLanes::widest, LmsLanes::narrow}) {
          Bytes out(n);
          lms_residual(in.data(), out.data(), n, rounded, lanes);
          EXPECT_EQ(out, expected) << "size " << n << " rounded " << rounded << " narrow " << (lanes == LmsLanes::narrow);
          Bytes in_place = in;
          lms_residual(in_place.data(), in_place.data(), n, rounded, lanes);
          EXPECT_EQ(in_place, out) << "in place, size " << n;
        }
      }
    }
  }
  EXPECT_GT(largest, 32767) << "error sums beyond 16 signed bits";
  EXPECT_LT(largest, 65536);
}

TEST(StrideFilter, TransposeGroupsChannelsAndDeltaExample) {
  const Bytes block = {0, 1, 2, 10, 11, 12, 20, 21};
  Bytes work = work_buffer(block);
  transpose_by_stride(work.data(), 8, 2);
  EXPECT_EQ(Bytes(work.begin(), work.begin() + 8), (Bytes{0, 10, 20, 1, 11, 21, 2, 12}));
  untranspose_by_stride(work.data(), 8, 2);
  EXPECT_EQ(Bytes(work.begin(), work.begin() + 8), block);

  Bytes b = {0x10, 0x12, 0x15};
  delta_encode(b.data(), 3);
  EXPECT_EQ(b, (Bytes{0x10, 0x02, 0x03}));
  delta_decode(b.data(), 3);
  EXPECT_EQ(b, (Bytes{0x10, 0x12, 0x15}));
}

TEST(MultimediaFilter, PredictorOnSilenceStaysSilent) {
  Bytes zero(5000, 0);
  Bytes out(5000, 0xAA);
  lms_residual(zero.data(), out.data(), 5000, false);
  EXPECT_EQ(out, zero);
  lms_residual(zero.data(), out.data(), 5000, true);
  EXPECT_EQ(out, zero);
  // Weights still 0 after silence: a step then predicts the last byte
  // exactly as a fresh predictor would.
  Bytes step = zero;
  step.push_back(7);
  Bytes step_out(step.size());
  lms_residual(step.data(), step_out.data(), static_cast<uint32_t>(step.size()), false);
  EXPECT_EQ(step_out.back(), static_cast<uint8_t>(0 - 7));
}

TEST(MultimediaFilter, BlocksBelow512BytesAreLeftAloneAndStrideOnlyWithoutTheModel) {
  const Bytes block = make_records(512, 4, 1, 4);
  EXPECT_EQ(filter_and_undo(Bytes(block.begin(), block.begin() + 511)).type, 0);
  EXPECT_NE(filter_and_undo(block).type, 0);
  const Bytes records = make_records(20000, 4, 1, 8);
  const Filtered f = filter_and_undo(records, true, false);
  EXPECT_EQ(f.type, 0x33);
  EXPECT_EQ(f.restored, records);
}

// A walk of small steps in which every value is held for 3, 2 or 1 bytes:
// `threes` values first, then `twos`, then `ones`.
Bytes held_walk(uint32_t threes, uint32_t twos, uint32_t ones) {
  testdata::Lcg rng(3);
  Bytes v;
  int level = 128;
  for (uint32_t k = 0; k < threes + twos + ones; ++k) {
    const int step = 1 + static_cast<int>(rng.next() % 3);
    level += rng.next() % 2 ? step : -step;
    v.insert(v.end(), k < threes ? 3 : k < threes + twos ? 2 : 1, static_cast<uint8_t>(level));
  }
  return v;
}

// 512 bytes of a walk of steps -4..4.
Bytes walk(uint32_t seed) {
  testdata::Lcg rng(seed);
  Bytes v(512);
  int level = 128;
  for (uint8_t& x : v) {
    level += static_cast<int>(rng.next() % 9) - 4;
    x = static_cast<uint8_t>(level);
  }
  return v;
}

TEST(MultimediaFilter, SignalDecisionAtItsBoundaries) {
  // A signal repeats its previous byte in less than 60 % of its bytes; it
  // gets model 2 when its context-sorted cost is at least its residual's.
  const struct {
    const char* what;
    Bytes block;
    uint32_t model;
  } cases[] = {
      {"60 % repeats", held_walk(200, 200, 0), 0},
      {"599 repeats in 999 bytes", held_walk(200, 199, 1), 2},
      // Found by search: both costs are 2499/460.
      {"sorted cost = residual cost", walk(116547), 2},
  };
  for (const auto& c : cases) {
    Bytes work = work_buffer(c.block);
    const auto n = static_cast<uint32_t>(c.block.size());
    EXPECT_EQ(select_mm_model(work.data(), n, 0), c.model) << c.what;
    if (c.model == 0) {
      EXPECT_EQ(Bytes(work.begin(), work.begin() + n), c.block) << c.what;
    }
  }
  // Channels average their repeats: two channels of the same bytes, as the
  // stride transposition leaves them.
  for (uint32_t k = 0; k < 2; ++k) {
    Bytes two = cases[k].block;
    two.insert(two.end(), cases[k].block.begin(), cases[k].block.end());
    Bytes work = work_buffer(two);
    EXPECT_EQ(select_mm_model(work.data(), static_cast<uint32_t>(two.size()), 1) != 0, cases[k].model != 0)
        << "two channels, " << cases[k].what;
  }
  const Bytes& equal = cases[2].block;
  Bytes residual(equal.size());
  lms_residual(equal.data(), residual.data(), 512, true);
  EXPECT_EQ(context_sorted_cost(equal.data(), 512, mtf_cost16), mtf_cost16(residual.data(), 512));
}

// The decision as it reads: the channels' costs and repeats, then the
// channels of the whole rounded residual, then the context-sorted cost.
uint32_t plain_model(const Bytes& block, uint32_t stride_parameter = 0) {
  const auto n = static_cast<uint32_t>(block.size());
  const uint32_t h = stride_parameter + 1;
  const uint32_t q = n / h;
  const Bytes residual = plain_lms_residual(block, true);
  double x = 0, g = 0, r = 0;
  uint32_t noisy = 0;
  for (uint32_t j = 0; j < h; ++j) {
    uint32_t repeats = 0;
    const double cost = mtf_cost16(block.data() + j * q, q, &repeats);
    noisy += cost > 13.9 ? 1 : 0;
    x += cost;
    g += static_cast<double>(repeats) * 100.0 / q;
    r += mtf_cost16(residual.data() + j * q, q);
  }
  if (!(r / h < x / h && g / h < 60.0 && 2 * noisy <= h)) return 0;
  return context_sorted_cost(block.data(), n, mtf_cost16) >= mtf_cost16(residual.data(), n) ? 2 : 1;
}

// `head` followed by `tail_length` bytes whose rounded residual goes 1, 2,
// 1, 2, ...: after its first two, each of them is coded at list position 1,
// the least a coded byte can cost.
Bytes with_cheapest_residual_tail(const Bytes& head, uint32_t tail_length) {
  Bytes block = head;
  PlainLms lms;
  for (uint8_t x : head) lms.update(x, static_cast<uint8_t>(lms.predict(true) - x), nullptr, nullptr);
  for (uint32_t i = 0; i < tail_length; ++i) {
    const auto y = static_cast<uint8_t>(1 + i % 2);
    const auto x = static_cast<uint8_t>(lms.predict(true) - y);
    lms.update(x, y, nullptr, nullptr);
    block.push_back(x);
  }
  return block;
}

TEST(MultimediaFilter, ResidualIsKnownDearerOnlyWhenTheCheapestRestCannotSaveIt) {
  // The cheapest bytes left are coded at list position 1. With 1,000 coded
  // bytes made and 1,000 left, a cost of 5 needs a position sum of 10,000 in
  // the end: 9,000 now leaves the whole at exactly 5 at best, not more.
  auto made = [](uint64_t position_sum, uint32_t coded) {
    MtfSums s;
    s.position_sum = position_sum;
    s.coded = coded;
    return s;
  };
  EXPECT_TRUE(residual_costs_more(made(9001, 1000), 1000, 5.0));
  EXPECT_FALSE(residual_costs_more(made(9000, 1000), 1000, 5.0));
  EXPECT_FALSE(residual_costs_more(made(8990, 1000), 1000, 5.0));
  EXPECT_TRUE(residual_costs_more(made(5001, 1000), 0, 5.0));
  EXPECT_FALSE(residual_costs_more(made(5000, 1000), 0, 5.0));
  // Below a cost of 1 every byte left only adds to the margin.
  EXPECT_TRUE(residual_costs_more(made(6, 10), 100000, 0.5));
  EXPECT_FALSE(residual_costs_more(made(5, 10), 100000, 0.5));
  EXPECT_FALSE(residual_costs_more(made(0, 0), 100000, 0.0));
  // The largest sums a block can make, and a cost that is not a fraction of
  // small numbers.
  const double cost = 4194303.0 / 262143.0;
  EXPECT_FALSE(residual_costs_more(made(4194303, 262143), 0, cost));
  EXPECT_TRUE(residual_costs_more(made(4194305, 262143), 0, cost));
}

TEST(MultimediaFilter, OneChannelDecisionMatchesTheWholeResidualsCost) {
  // The residual is measured a part at a time and the decision may end
  // before its last part. Blocks of signals, records, noise and text, of
  // lengths around the parts; each decision, the block it leaves and, for a
  // signal, the residual estimate behind it as the plain decision has them.
  std::vector<Bytes> blocks;
  for (uint32_t n : {512u, 4095u, 16384u, 16385u, 16386u, 32769u, 50000u, 262144u}) {
    blocks.push_back(make_records(n, 1, 3, n));
    blocks.push_back(make_records(n, 1, 40, n + 1, true));
    blocks.push_back(testdata::random_bytes(n, n));
    const std::string text = testdata::mixed_text(n, n);
    blocks.emplace_back(text.begin(), text.end());
    Bytes ramp = testdata::random_bytes(n, n + 2);  // model 1's
    for (uint32_t i = 0; i < n; ++i) ramp[i] = static_cast<uint8_t>(i * 3 / 7 + ramp[i] % 3);
    blocks.push_back(ramp);
  }
  // Text, whose residual costs more than the text itself, then a tail whose
  // residual costs the least there is: the tail decides, and for each
  // length of text near the turn the residual's parts before the tail look
  // as dear as they can while the whole still costs less, or just not.
  const std::string text = testdata::mixed_text(262144, 9);
  const Bytes text_bytes(text.begin(), text.end());
  auto text_then_tail = [&](uint32_t text_length) {
    return with_cheapest_residual_tail(Bytes(text_bytes.begin(), text_bytes.begin() + text_length), 262144 - text_length);
  };
  uint32_t low = 150000;  // the whole residual costs less than the block
  uint32_t high = 250000; // it does not
  ASSERT_NE(plain_model(text_then_tail(low)), 0u);
  ASSERT_EQ(plain_model(text_then_tail(high)), 0u);
  while (high - low > 1) {
    const uint32_t mid = (low + high) / 2;
    (plain_model(text_then_tail(mid)) != 0 ? low : high) = mid;
  }
  for (uint32_t text_length : {low - 1, low, high, high + 1}) blocks.push_back(text_then_tail(text_length));

  // Blocks of records as the stride transposition leaves them, channel by
  // channel, measured with their channels.
  uint32_t channel_signals = 0;
  for (uint32_t stride : {2u, 3u, 12u}) {
    for (uint32_t noise : {0u, 30u}) {
      Bytes work = work_buffer(make_records(60000, stride, noise, stride + noise, noise != 0));
      transpose_by_stride(work.data(), 60000, stride - 1);
      const Bytes records(work.begin(), work.begin() + 60000);
      const uint32_t expected = plain_model(records, stride - 1);
      EXPECT_EQ(select_mm_model(work.data(), 60000, stride - 1), expected) << "stride " << stride;
      channel_signals += expected != 0 ? 1 : 0;
    }
  }
  EXPECT_GT(channel_signals, 0u);
  std::set<uint32_t> models;
  for (const Bytes& block : blocks) {
    const auto n = static_cast<uint32_t>(block.size());
    const uint32_t expected = plain_model(block);
    models.insert(expected);
    Bytes work = work_buffer(block);
    Bytes plain_work = work;
    SortScratch scratch;
    double cost8 = -1;
    EXPECT_EQ(select_mm_model(work.data(), n, 0, scratch, &cost8), expected) << "size " << n;
    EXPECT_EQ(cost8, mtf_cost8(block.data(), n)) << "size " << n;
    if (expected == 0) {
      EXPECT_TRUE(std::equal(block.begin(), block.end(), work.begin())) << "size " << n;
      continue;
    }
    const Bytes residual = plain_lms_residual(block, true);
    std::copy(residual.begin(), residual.end(), plain_work.begin() + n);
    if (expected == 1) delta_encode(plain_work.data(), n);
    if (expected == 2) lms_residual(plain_work.data(), plain_work.data(), n, false);
    EXPECT_TRUE(std::equal(plain_work.begin(), plain_work.begin() + 2 * n, work.begin())) << "size " << n;
  }
  EXPECT_EQ(models, (std::set<uint32_t>{0, 1, 2}));
}

TEST(MultimediaFilter, EveryStrideAndModelTypeRoundTrips) {
  // The undo of every type of high nibble 3, 4 and 5 on arbitrary bytes.
  const Bytes input = testdata::random_bytes(3001, 77);
  for (uint32_t model = 0; model <= 2; ++model) {
    for (uint32_t k = (model == 0 ? 1 : 0); k <= 15; ++k) {
      Bytes work = work_buffer(input);
      const uint32_t n = static_cast<uint32_t>(input.size());
      if (k) transpose_by_stride(work.data(), n, k);
      if (model == 1) delta_encode(work.data(), n);
      if (model == 2) lms_residual(work.data(), work.data(), n, false);
      uint32_t length = n;
      undo_stride_and_mm_filters(work.data(), length, static_cast<uint8_t>((model + 3) * 16 + k));
      EXPECT_EQ(Bytes(work.begin(), work.begin() + length), input) << model << " " << k;
    }
  }
  // And the whole filter on signals of every stride.
  std::set<uint8_t> seen;
  for (uint32_t stride = 1; stride <= 16; ++stride) {
    for (uint32_t noise : {0u, 10u, 40u}) {
      for (bool walk : {false, true}) {
        const Bytes block = make_records(30000, stride, noise, stride * 7 + noise, walk);
        const Filtered f = filter_and_undo(block);
        seen.insert(block_family(f.type));
        EXPECT_EQ(f.restored, block) << "stride " << stride << " noise " << noise;
      }
    }
  }
  EXPECT_EQ(seen, (std::set<uint8_t>{BLOCK_PLAIN, BLOCK_STRIDE, BLOCK_DELTA, BLOCK_LMS}));
}

}  // namespace
}  // namespace tarn
