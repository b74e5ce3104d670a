// Stride and multimedia filters: stride choice, the predictor and delta
// transforms, and round trips of every type of high nibble 3, 4 and 5.
#include <gtest/gtest.h>

#include <cmath>
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

TEST(StrideFilter, NeedsFortyPercentGainOverNeighbours) {
  // x[i] = i + 3 (i odd): distance 1 differs by 3 on average, distance 2 by
  // 2 (the smallest), which is not 40 % better.
  Bytes block(200);
  for (uint32_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 3 * (i % 2));
  EXPECT_EQ(detect_stride(block.data(), 200), 0u);
  // With an offset of 10, distance 1 costs 10 on average: stride 2.
  for (uint32_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 10 * (i % 2));
  EXPECT_EQ(detect_stride(block.data(), 200), 1u);
  Bytes smooth(4096);
  for (uint32_t i = 0; i < smooth.size(); ++i) smooth[i] = static_cast<uint8_t>(i / 64);
  EXPECT_EQ(detect_stride(smooth.data(), 4096), 0u);  // distance 1 is best
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

TEST(MultimediaFilter, RepeatingChannelsAreNotSignals) {
  Bytes block = make_records(20000, 1, 0, 5, true);
  Bytes work = work_buffer(block);
  ASSERT_NE(select_mm_model(work.data(), 20000, 0), 0u);
  for (uint32_t i = 0; i < block.size(); i += 5) {
    block[i + 1] = block[i + 2] = block[i + 3] = block[i];  // 60 % repeats
  }
  std::memcpy(work.data(), block.data(), block.size());
  EXPECT_EQ(select_mm_model(work.data(), 20000, 0), 0u);
  EXPECT_EQ(Bytes(work.begin(), work.begin() + 20000), block);
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
