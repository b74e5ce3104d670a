// The PPM coder reproduces archives made by an independent implementation.
//
// The golden archives named here hold a single file packed with plain blocks
// only (no filter, no prepass), so their chunk streams can be rebuilt from the
// range coder and the model alone: the prepass header (length, "not
// applied"), then per block its header (type 0, length) and the PPM-coded
// bytes, then the four flush bytes. The model carries over from block to
// block and from chunk to chunk; the range coder restarts per chunk.
// The largest case's archive is kept as its digest only: here its stream
// length is checked, its bytes end to end (GoldenTest). Decoding these
// archives is checked end to end (tarnc t on every golden archive); decoding
// through exhausted heaps in ppm_model_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coder/long_repeat.h"
#include "coder/ppm_model.h"
#include "pipeline/block_header.h"
#include "test_data.h"

namespace tarn {
namespace {

constexpr size_t CHUNK = 4194304;
constexpr size_t BLOCK = 262144;
constexpr size_t ARCHIVE_HEADER = 18;

struct GoldenCase {
  const char* archive;
  std::vector<uint8_t> input;
  unsigned order;
  uint32_t megabytes;
  bool cut_off;
  size_t packed_length;  // the group's packed length in the .inspect file
  bool exhausts;         // the heap runs out on the way
  bool length_only;      // the expected archive is kept as its digest only
};

std::vector<uint8_t> pack(const std::vector<uint8_t>& data, const GoldenCase& c, unsigned* exhaustions) {
  PpmModel model;
  model.start(c.order, c.megabytes << 20, c.cut_off);
  ByteSink sink;
  for (size_t chunk = 0; chunk < data.size(); chunk += CHUNK) {
    const size_t plain = std::min(CHUNK, data.size() - chunk);
    RangeEncoder enc(sink);
    enc.init();
    LongRepeat::encode_u24(enc, static_cast<uint32_t>(plain));
    enc.encode_bits(0, 1);
    for (size_t pos = 0; pos < plain; pos += BLOCK) {
      const size_t len = std::min(BLOCK, plain - pos);
      write_block_header(enc, 0, static_cast<uint32_t>(len));
      model.encode_block(enc, data.data() + chunk + pos, len);
    }
    enc.flush();
  }
  *exhaustions = model.restarts() + model.cut_offs();
  EXPECT_TRUE(!c.cut_off || model.cut_offs() > 0);
  return sink.bytes();
}

void check_golden(const GoldenCase& c) {
  ASSERT_FALSE(c.input.empty());
  unsigned exhaustions = 0;
  const std::vector<uint8_t> packed = pack(c.input, c, &exhaustions);
  EXPECT_EQ(exhaustions != 0, c.exhausts);
  EXPECT_EQ(packed.size(), c.packed_length);
  if (c.length_only) return;
  const std::vector<uint8_t> archive = testdata::data_bytes(std::string("golden/") + c.archive);
  ASSERT_LE(ARCHIVE_HEADER + packed.size(), archive.size());
  const std::vector<uint8_t> expected(archive.begin() + ARCHIVE_HEADER,
                                      archive.begin() + ARCHIVE_HEADER + packed.size());
  size_t first_diff = 0;
  while (first_diff < packed.size() && packed[first_diff] == expected[first_diff]) ++first_diff;
  EXPECT_EQ(first_diff, packed.size()) << "first differing byte of the stream at " << first_diff;
}

TEST(PpmGolden, NormalOrder7MatchesAlice) {
  check_golden({"alice-n-nofilters.trn", testdata::data_bytes("canterbury/alice29.txt"), 7, 25, false, 38661,
                false, false});
}

TEST(PpmGolden, GoodOrder9MatchesFaxImage) {
  check_golden({"fax-g.trn", testdata::data_bytes("canterbury/ptt5"), 9, 44, false, 48407, false, false});
}

TEST(PpmGolden, QuickestRestartsWhenMemoryRunsOut) {
  check_golden({"lcg1m-q-restart.trn", testdata::lcg_letters(1200000, 11), 3, 5, false, 771685, true, false});
}

TEST(PpmGolden, ExtremeCutsOffWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "6 MB at order 14 is too slow under the sanitizers; the release run covers it";
#endif
  check_golden({"lcg6m-e-cutoff.trn", testdata::lcg_letters(6000000, 12), 14, 70, true, 3876562, true, true});
}

}  // namespace
}  // namespace tarn
