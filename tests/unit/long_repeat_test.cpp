#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "coder/long_repeat.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

struct Prepass {
  Bytes coded;           // the prepass output
  bool applied = false;  // as the header read back says
  Bytes restored;
};

// Runs the prepass and its header through a stream and back, the way the
// pipeline does (the blocks in between are left out: they return their
// bytes unchanged).
Prepass round_trip(const Bytes& input) {
  LongRepeat packer;
  Prepass p;
  p.coded = input;
  packer.long_repeat_encode(p.coded);
  const Bytes stream =
      testdata::encode_stream([&](RangeEncoder& enc) { LongRepeat::write_prepass_header(enc, packer.header()); });
  LongRepeat unpacker;
  PrepassHeader header;
  EXPECT_EQ(testdata::decode_stream(stream, [&](RangeDecoder& dec) { header = LongRepeat::read_header(dec); }), 0u);
  const uint32_t n = header.coded_length;
  EXPECT_EQ(n, p.coded.size());
  EXPECT_EQ(header.plain_length, input.size());
  p.applied = header.applied;
  p.restored = p.coded;
  p.restored.resize(n + 10000, 0xCC);
  const uint32_t length = unpacker.long_repeat_decode(p.restored, header);
  EXPECT_EQ(length, p.restored.size());
  return p;
}

Bytes code_of(uint32_t repetition_length) {
  Bytes out(8);
  uint32_t pos = 0;
  LongRepeat::write_length_code(out.data(), pos, repetition_length - 56);
  out.resize(pos);
  return out;
}

TEST(LongRepeat, BelowEightKiBNeverTransformedTenThousandZerosBecomeSixtyFourAndACode) {
  const Bytes zeros(8191, 0);
  const Prepass small = round_trip(zeros);
  EXPECT_EQ(small.restored, zeros);
  EXPECT_EQ(small.coded, zeros);
  EXPECT_FALSE(small.applied);
  LongRepeat at_limit;
  Bytes eight_kib(8192, 0);
  at_limit.long_repeat_encode(eight_kib);
  EXPECT_TRUE(at_limit.header().applied);

  const Bytes more(10000, 0);
  const Prepass p = round_trip(more);
  EXPECT_EQ(p.restored, more);
  Bytes expected(64, 0);
  expected.insert(expected.end(), {0xFF, 0x25, 0xD1});
  EXPECT_EQ(p.coded, expected);
  EXPECT_TRUE(p.applied);
}

TEST(LongRepeat, LengthCodesAtTheirBoundaries) {
  EXPECT_EQ(code_of(56), (Bytes{0x00}));
  EXPECT_EQ(code_of(310), (Bytes{0xFE}));
  EXPECT_EQ(code_of(311), (Bytes{0xFF, 0x00, 0x00}));
  EXPECT_EQ(code_of(65845), (Bytes{0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(code_of(65846), (Bytes{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}));
  for (uint32_t length : {56u, 310u, 311u, 65845u, 65846u, 16000000u}) {
    const Bytes code = code_of(length);
    uint32_t pos = 0;
    EXPECT_EQ(LongRepeat::read_length_code(code.data(), static_cast<uint32_t>(code.size()), pos), length - 56);
    EXPECT_EQ(pos, code.size());
  }
}

TEST(LongRepeat, RepetitionReachingTheEndKeepsItsFullLength) {
  // R R: an unused table entry predicts position 0, so at 5000 the second R
  // is found and the repetition runs to the end of the buffer.
  Bytes input = testdata::random_bytes(5000, 11);
  input.insert(input.end(), input.begin(), input.end());
  const Prepass p = round_trip(input);
  EXPECT_EQ(p.restored, input);
  Bytes expected(input.begin(), input.begin() + 5056);
  const Bytes code = code_of(5000);
  expected.insert(expected.end(), code.begin(), code.end());
  EXPECT_EQ(p.coded, expected);
}

// Random bytes with copies of earlier stretches, one per length L: the copy
// of L + 8 bytes is found 8 bytes in (the context hash needs them), runs L
// bytes and stops at a byte that differs from the one after its source. The
// source lies 1000 bytes behind (a longer copy runs into itself), so no other
// position takes its table entry.
Bytes with_repetitions(const std::vector<uint32_t>& lengths) {
  Bytes v = testdata::random_bytes(20000, 21);
  for (size_t k = 0; k < lengths.size(); ++k) {
    const size_t from = v.size() - 1000;
    for (size_t i = 0; i < lengths[k] + 8; ++i) v.push_back(v[from + i]);
    v.push_back(static_cast<uint8_t>(v[from + lengths[k] + 8] ^ 0xFF));
    const Bytes gap = testdata::random_bytes(1500, static_cast<uint32_t>(100 + k));
    v.insert(v.end(), gap.begin(), gap.end());
  }
  return v;
}

TEST(LongRepeat, RepetitionClassesAndTheUseRuleAtTheirBoundaries) {
  // Under 500 bytes a repetition is medium, up to 20,000 long (1), beyond
  // that it counts 10; the output is used when long_score > 3 x medium.
  const struct {
    std::vector<uint32_t> lengths;
    uint32_t medium, long_score;
    bool applied;
  } cases[] = {
      {{499}, 1, 0, false},
      {{500}, 0, 1, true},  // 20,000 random bytes and a 508-byte copy
      {{20000}, 0, 1, true},
      {{20001}, 0, 10, true},
      {{500, 500, 500, 499}, 1, 3, false},  // 3 = 3 x 1
      {{500, 500, 500, 500, 499}, 1, 4, true},
      {{100, 100, 100, 25000}, 3, 10, true},  // 10 > 9
      {{100, 100, 100, 100, 25000}, 4, 10, false},
  };
  for (const auto& c : cases) {
    const Bytes input = with_repetitions(c.lengths);
    LongRepeat lr;
    Bytes coded = input;
    lr.long_repeat_encode(coded);
    EXPECT_EQ(lr.medium(), c.medium) << "case " << &c - cases;
    EXPECT_EQ(lr.long_score(), c.long_score) << "case " << &c - cases;
    EXPECT_EQ(lr.header().applied, c.applied) << "case " << &c - cases;
    if (!c.applied) {
      EXPECT_EQ(coded, input);
    }
  }
  const Bytes mixed = with_repetitions({100, 100, 100, 25000});
  EXPECT_EQ(round_trip(mixed).restored, mixed);

  // Only medium repetitions: the output is used while it is shorter than a
  // third of the input. Random bytes appended grow both lengths by one, so
  // some tail makes the output exactly n / 3: that one is not used.
  Bytes periodic;
  const Bytes pattern = testdata::random_bytes(400, 5);
  for (int i = 0; i < 40; ++i) {
    periodic.insert(periodic.end(), pattern.begin(), pattern.end());
    const Bytes noise = testdata::random_bytes(20, 200 + i);
    periodic.insert(periodic.end(), noise.begin(), noise.end());
  }
  LongRepeat probe;
  Bytes probed = periodic;
  probe.long_repeat_encode(probed);
  ASSERT_TRUE(probe.header().applied);
  EXPECT_EQ(probe.long_score(), 0u);
  EXPECT_EQ(round_trip(periodic).restored, periodic);
  const auto n0 = static_cast<uint32_t>(periodic.size());
  const auto o0 = static_cast<uint32_t>(probed.size());
  uint32_t t = 0;
  while (o0 + t < (n0 + t) / 3) ++t;
  ASSERT_EQ(o0 + t, (n0 + t) / 3);
  for (uint32_t tail : {t - 1, t}) {
    Bytes input = periodic;
    const Bytes noise = testdata::random_bytes(tail, 77);
    input.insert(input.end(), noise.begin(), noise.end());
    LongRepeat lr;
    lr.long_repeat_encode(input);
    EXPECT_EQ(lr.medium(), 39u);
    EXPECT_EQ(lr.header().applied, tail < t) << tail;
    if (lr.header().applied) {
      EXPECT_EQ(input.size(), o0 + tail);
    }
  }
}

// The prepass as its rule reads, one position and one byte at a time: the
// pass the packer runs must give the same output and counts on any input.
struct PlainPrepass {
  Bytes out;
  uint32_t medium = 0;
  uint32_t long_score = 0;
};

// Only the repetitions that start before `counted_before` are counted.
PlainPrepass plain_prepass(const Bytes& b, uint32_t counted_before = UINT32_MAX) {
  PlainPrepass r;
  const auto n = static_cast<uint32_t>(b.size());
  std::vector<uint32_t> table(LongRepeat::TABLE_SIZE, 0);
  r.out.assign(b.begin(), b.begin() + 8);
  for (uint32_t p = 8; p < n;) {
    const uint32_t h = LongRepeat::context_hash(b.data(), p);
    const uint32_t s = table[h];
    table[h] = p;
    uint32_t length = 0;
    while (p + length < n && b[p + length] == b[s + length]) ++length;
    if (length < LongRepeat::MIN_REPEAT) {
      r.out.push_back(b[p++]);
      continue;
    }
    if (p < counted_before) {
      if (length < 500) {
        ++r.medium;
      } else {
        r.long_score += length <= 20000 ? 1 : 10;
      }
    }
    r.out.insert(r.out.end(), b.begin() + p, b.begin() + p + LongRepeat::MIN_REPEAT);
    uint8_t code[LongRepeat::MAX_LENGTH_CODE];
    uint32_t code_length = 0;
    LongRepeat::write_length_code(code, code_length, length - LongRepeat::MIN_REPEAT);
    r.out.insert(r.out.end(), code, code + code_length);
    p += length;
  }
  return r;
}

TEST(LongRepeat, PackingMatchesThePlainPassOnManyInputs) {
  std::vector<Bytes> inputs;
  // Repetitions of every length class, short matches of a small alphabet,
  // runs that match themselves, copies that reach the end of the buffer,
  // and lengths just past the 8 KiB limit.
  for (uint32_t seed = 1; seed <= 12; ++seed) inputs.push_back(testdata::mixed_bytes(30000 + seed * 7919, seed));
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    testdata::Lcg rng(seed);
    Bytes v(8192 + seed * 3);
    for (auto& x : v) x = static_cast<uint8_t>('0' + rng.next() % (seed + 1));
    inputs.push_back(v);
  }
  for (uint32_t length : {55u, 56u, 57u, 63u, 64u, 65u, 499u, 500u, 20000u, 20001u, 70000u})
    inputs.push_back(with_repetitions({length, length / 2 + 56, 100}));
  // A copy of 56 bytes at the end starts at the last position the scan
  // visits; one of 55 ends the buffer a byte short of a repetition.
  for (uint32_t tail : {1u, 7u, 8u, 9u, 55u, 56u, 57u, 1000u}) {
    Bytes v = testdata::random_bytes(9000, tail);
    v.insert(v.end(), v.begin() + 100, v.begin() + 100 + 8 + tail);
    inputs.push_back(v);
  }
  inputs.push_back(Bytes(300000, 'a'));
  inputs.push_back(testdata::data_bytes("golden/inputs/repeats"));
  // Records whose fields agree with the prediction in their first 8 bytes
  // at a third of the positions, which the scan tests together with the
  // last 8 of the 56, then text, then records again: copies of 55 to 600
  // bytes in each part, some agreeing at both ends and differing between.
  {
    testdata::Lcg rng(31);
    Bytes v;
    const auto records = [&](uint32_t count) {
      for (uint32_t i = 0; i < count; ++i) {
        char line[64];
        const int length = std::snprintf(line, sizeof line, "  %4u.%04u  %4u.%04u C   0  0  0  0  0  0\n",
                                          rng.next() % 10, rng.next() % 10000, rng.next() % 10, rng.next() % 10000);
        v.insert(v.end(), line, line + length);
      }
    };
    const auto copies = [&]() {
      for (uint32_t length : {55u, 56u, 57u, 120u, 600u}) {
        const size_t from = v.size() - 3000 - rng.next() % 2000;
        v.insert(v.end(), v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(from + length));
        Bytes twisted(v.end() - static_cast<ptrdiff_t>(length), v.end());  // both ends kept, a middle byte changed
        twisted[length / 2] ^= 1;
        v.insert(v.end(), twisted.begin(), twisted.end());
        records(20);
      }
    };
    records(400);
    copies();
    const Bytes text = testdata::random_bytes(20000, 32);
    for (uint8_t x : text) v.push_back(static_cast<uint8_t>('a' + x % 26));
    copies();
    records(400);
    copies();
    inputs.push_back(v);
  }
  for (const Bytes& input : inputs) {
    const PlainPrepass expected = plain_prepass(input);
    LongRepeat lr;
    Bytes coded = input;
    lr.long_repeat_encode(coded);
    const bool used = expected.long_score > 3 * expected.medium || expected.out.size() < input.size() / 3;
    // A scan that stopped early, because the rest could not make the
    // prepass apply, counted the repetitions before its stop only.
    const PlainPrepass counted = plain_prepass(input, lr.scanned());
    EXPECT_EQ(lr.medium(), counted.medium) << "size " << input.size();
    EXPECT_EQ(lr.long_score(), counted.long_score) << "size " << input.size();
    if (lr.scanned() < input.size()) {
      EXPECT_FALSE(used) << "size " << input.size();
    }
    EXPECT_EQ(lr.header().applied, used) << "size " << input.size();
    EXPECT_EQ(coded, used ? expected.out : input) << "size " << input.size();
  }
}

TEST(LongRepeat, NeverUsedWhenEveryRepetitionGrowsTheOutput) {
  // Blocks of an 8-byte key and 56 bytes, repeated in random order: every
  // repeat is a repetition of exactly 56 bytes that grows the output by a
  // byte, so the output is never used.
  const Bytes pieces = testdata::random_bytes(100 * 64, 8);
  Bytes growing;
  testdata::Lcg pick(9);
  while (growing.size() < 400000) {
    auto from = pieces.begin() + (pick.next() % 100) * 64;
    growing.insert(growing.end(), from, from + 64);
  }
  LongRepeat d;
  Bytes coded = growing;
  d.long_repeat_encode(coded);
  EXPECT_FALSE(d.header().applied);
  EXPECT_EQ(coded, growing);
  // About 6,000 repetitions in all, but once the coded length passed a
  // third of the input, the medium ones counted so far outweighed the
  // long score the rest could still reach, and the scan stopped.
  const PlainPrepass whole = plain_prepass(growing);
  EXPECT_GT(whole.medium, 5000u);
  EXPECT_GT(d.medium(), 1000u);
  EXPECT_LT(d.medium(), whole.medium / 2);
}

TEST(LongRepeat, TheScanGoesOnWhileLongRepetitionsCanStillTurnTheDecision) {
  // Three medium repetitions in the first part (3 x 3 = 9 to beat), then
  // ten long ones back to back in the last part, from sources in a random
  // prefix. The scan passes a third of the input long before the long
  // repetitions come, and when it looks at the decision before them, the
  // rest could still give 5,280 / 500 = 10: it must go on, and the prepass
  // applies with a long score of 10. A looser bound on what the rest can
  // give would stop the scan there.
  Bytes v = testdata::random_bytes(20000, 31);
  for (uint32_t k = 0; k < 3; ++k) {
    const uint32_t from = 12000 + k * 300;
    v.insert(v.end(), v.begin() + from - 8, v.begin() + from + 100);
    v.push_back(static_cast<uint8_t>(v[from + 100] ^ 0xFF));
    const Bytes gap = testdata::random_bytes(1500, 40 + k);
    v.insert(v.end(), gap.begin(), gap.end());
  }
  const size_t tail = v.size();
  for (uint32_t k = 0; k < 10; ++k) {
    const uint32_t from = 1000 + k * 1000;
    v.insert(v.end(), v.begin() + from - 8, v.begin() + from + 520);
  }
  ASSERT_GT(tail, v.size() / 3 + 2 * 4096);
  LongRepeat lr;
  Bytes coded = v;
  lr.long_repeat_encode(coded);
  EXPECT_EQ(lr.medium(), 3u);
  EXPECT_EQ(lr.long_score(), 10u);
  EXPECT_TRUE(lr.header().applied);
  EXPECT_EQ(coded, plain_prepass(v).out);
  EXPECT_EQ(round_trip(v).restored, v);
}

TEST(LongRepeat, TheScanGoesOnWhileTheCodedLengthCanStillEndBelowAThird) {
  // 110,000 bytes of 56-byte repetitions that each grow the output, then a
  // copy of 300,000 bytes from the start: one long repetition. The medium
  // ones outweigh any long score the rest can reach, and the coded length
  // passes a quarter of the input before the copy, but not a third: the
  // copy brings it to about 112,000 of 410,000 and the prepass applies.
  const Bytes pieces = testdata::random_bytes(100 * 64, 12);
  testdata::Lcg pick(13);
  Bytes v;
  while (v.size() < 110000) {
    auto from = pieces.begin() + (pick.next() % 100) * 64;
    v.insert(v.end(), from, from + 64);
  }
  v.resize(110000);
  for (size_t i = 0; i < 300000; ++i) v.push_back(v[i]);
  LongRepeat lr;
  Bytes coded = v;
  lr.long_repeat_encode(coded);
  EXPECT_GT(lr.medium(), 1000u);
  EXPECT_EQ(lr.long_score(), 10u);
  EXPECT_EQ(lr.scanned(), v.size());
  ASSERT_TRUE(lr.header().applied);
  EXPECT_LT(coded.size(), v.size() / 3);
  EXPECT_GT(coded.size(), v.size() / 4);
  EXPECT_EQ(coded, plain_prepass(v).out);
  EXPECT_EQ(round_trip(v).restored, v);
}

TEST(LongRepeat, GoldenRepeatsFileShrinksTo100064Bytes) {
  const Bytes input = testdata::data_bytes("golden/inputs/repeats");
  ASSERT_EQ(input.size(), 335000u);
  const Prepass p = round_trip(input);
  EXPECT_EQ(p.restored, input);
  EXPECT_TRUE(p.applied);
  EXPECT_EQ(p.coded.size(), 100064u);
}

TEST(LongRepeat, CorruptInputStaysInsideTheRestoredBuffer) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    testdata::Lcg rng(seed);
    const uint32_t plain = seed == 1 ? 0 : rng.next() % 30000;
    const uint32_t n = 8 + rng.next() % 20000;
    const Bytes stream = testdata::encode_stream([&](RangeEncoder& enc) {
      LongRepeat::encode_u24(enc, plain);
      enc.encode_bits(1, 1);
      LongRepeat::encode_u24(enc, n);
    });
    LongRepeat unpacker;
    PrepassHeader header;
    testdata::decode_stream(stream, [&](RangeDecoder& dec) { header = LongRepeat::read_header(dec); });
    ASSERT_EQ(header.coded_length, n);
    // Repetitive garbage, so that trials succeed and length codes are read.
    Bytes d = testdata::random_bytes(n + 10000, seed);
    for (uint32_t i = 0; i < n; ++i) d[i] = (rng.next() % 4) ? (i % 7 == 0 ? 0xFF : 0) : d[i];
    EXPECT_EQ(unpacker.long_repeat_decode(d, header), plain);
    EXPECT_EQ(d.size(), plain);
  }
}

}  // namespace
}  // namespace tarn
