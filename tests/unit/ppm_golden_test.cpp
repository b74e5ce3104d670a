// The PPM coder reproduces archives made by an independent implementation.
//
// The golden archives named here hold a single file packed with plain blocks
// only (no filter, no prepass), so their chunk streams can be rebuilt from the
// range coder and the model alone: the prepass header (length, "not
// applied"), then per block its header (type 0, length) and the PPM-coded
// bytes, then the four flush bytes. The model carries over from block to
// block and from chunk to chunk; the range coder restarts per chunk.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coder/ppm_model.h"
#include "test_data.h"

namespace tarn {
namespace {

constexpr size_t CHUNK = 4194304;
constexpr size_t BLOCK = 262144;
constexpr size_t ARCHIVE_HEADER = 18;

struct GoldenCase {
  const char* archive;
  const char* input;
  unsigned order;
  uint32_t megabytes;
  bool cut_off;
  size_t packed_length;  // the group's packed length in the .inspect file
  bool exhausts;         // the heap runs out on the way
};

std::vector<uint8_t> pack(const std::vector<uint8_t>& data, const GoldenCase& c, unsigned* exhaustions) {
  PpmModel model;
  model.start(c.order, c.megabytes << 20, c.cut_off);
  ByteSink sink;
  for (size_t chunk = 0; chunk < data.size(); chunk += CHUNK) {
    const size_t plain = std::min(CHUNK, data.size() - chunk);
    RangeEncoder enc(sink);
    enc.init();
    enc.encode_bits(plain & 0x3FFF, 14);
    enc.encode_bits(static_cast<uint32_t>(plain >> 14), 10);
    enc.encode_bits(0, 1);
    for (size_t pos = 0; pos < plain; pos += BLOCK) {
      const size_t len = std::min(BLOCK, plain - pos);
      enc.encode_bits(0, 8);
      enc.encode_bits(len & 0x3FFF, 14);
      enc.encode_bits(static_cast<uint32_t>(len >> 14), 5);
      model.encode_block(enc, data.data() + chunk + pos, len);
    }
    enc.flush();
  }
  *exhaustions = model.restarts() + model.cut_offs();
  EXPECT_TRUE(!c.cut_off || model.cut_offs() > 0);
  return sink.bytes();
}

std::vector<uint8_t> unpack(const std::vector<uint8_t>& stream, size_t size, const GoldenCase& c) {
  PpmModel model;
  model.start(c.order, c.megabytes << 20, c.cut_off);
  std::vector<uint8_t> out(size);
  MemorySource src(stream);
  for (size_t chunk = 0; chunk < size; chunk += CHUNK) {
    RangeDecoder dec(src);
    dec.init();
    size_t plain = dec.decode_bits(14);
    plain |= static_cast<size_t>(dec.decode_bits(10)) << 14;
    EXPECT_EQ(plain, std::min(CHUNK, size - chunk));
    EXPECT_EQ(dec.decode_bits(1), 0u);
    for (size_t pos = 0; pos < plain; pos += BLOCK) {
      EXPECT_EQ(dec.decode_bits(8), 0u);
      size_t len = dec.decode_bits(14);
      len |= static_cast<size_t>(dec.decode_bits(5)) << 14;
      EXPECT_EQ(len, std::min(BLOCK, plain - pos));
      model.decode_block(dec, out.data() + chunk + pos, len);
    }
  }
  EXPECT_EQ(src.remaining(), 0u);
  return out;
}

void check_golden(const GoldenCase& c) {
  const std::vector<uint8_t> input = testdata::shared_bytes(c.input);
  const std::vector<uint8_t> archive = testdata::shared_bytes(std::string("golden/") + c.archive);
  ASSERT_FALSE(input.empty());
  ASSERT_GT(archive.size(), ARCHIVE_HEADER);
  unsigned exhaustions = 0;
  const std::vector<uint8_t> packed = pack(input, c, &exhaustions);
  EXPECT_EQ(exhaustions != 0, c.exhausts);
  EXPECT_EQ(packed.size(), c.packed_length);
  ASSERT_LE(ARCHIVE_HEADER + packed.size(), archive.size());
  const std::vector<uint8_t> expected(archive.begin() + ARCHIVE_HEADER,
                                      archive.begin() + ARCHIVE_HEADER + packed.size());
  size_t first_diff = 0;
  while (first_diff < packed.size() && packed[first_diff] == expected[first_diff]) ++first_diff;
  EXPECT_EQ(first_diff, packed.size()) << "first differing byte of the stream at " << first_diff;
  EXPECT_EQ(unpack(packed, input.size(), c), input);
}

TEST(PpmGolden, NormalOrder7MatchesAlice) {
  check_golden({"alice-n-nofilters.trn", "corpus/canterbury/alice29.txt", 7, 25, false, 38661, false});
}

TEST(PpmGolden, GoodOrder9MatchesFaxImage) {
  check_golden({"fax-g.trn", "corpus/canterbury/ptt5", 9, 44, false, 48407, false});
}

TEST(PpmGolden, QuickestRestartsWhenMemoryRunsOut) {
  check_golden({"letters1m-q-restart.trn", "golden/inputs/letters1m", 3, 5, false, 771662, true});
}

TEST(PpmGolden, ExtremeCutsOffWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "6 MB at order 14 is too slow under the sanitizers; the release run covers it";
#endif
  check_golden({"letters6m-e-cutoff.trn", "golden/inputs/letters6m", 14, 70, true, 3876776, true});
}

}  // namespace
}  // namespace tarn
