// Text filter and n-gram dictionary: the worked examples of the format, the
// detection rules, and round trips of every text block type.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Runs one in-place pass on a work buffer holding `input`.
template <typename Pass>
Bytes run_pass(const Bytes& input, Pass pass) {
  Bytes work(WORK_BUFFER_SIZE);
  std::memcpy(work.data(), input.data(), input.size());
  uint32_t length = static_cast<uint32_t>(input.size());
  pass(work.data(), length);
  return Bytes(work.begin(), work.begin() + length);
}

// Words of letters of the character set (1 Latin, 2 code page 866, 3 code
// page 1251), some capitalised, some in capitals, with punctuation, escapes and line
// breaks; `indent` starts most lines with a space.
Bytes make_text(uint32_t n, int charset, bool indent, uint32_t seed) {
  Bytes out;
  testdata::Lcg rng(seed);
  auto next = [&rng] { return rng.next(); };
  auto letter = [&](bool upper) -> uint8_t {
    const uint32_t k = next();
    switch (charset) {
      case 1: return static_cast<uint8_t>((upper ? 'A' : 'a') + k % 26);
      case 2:  // 0x80..0x9F upper; 0xA0..0xAF, 0xE0..0xEF lower
        return static_cast<uint8_t>(upper ? 0x80 + k % 32 : k % 32 < 16 ? 0xA0 + k % 32 : 0xD0 + k % 32);
      default: return static_cast<uint8_t>((upper ? 0xC0 : 0xE0) + k % 32);
    }
  };
  while (out.size() < n) {
    const uint32_t kind = next() % 10;
    const uint32_t m = 1 + next() % 8;
    for (uint32_t i = 0; i < m; ++i) out.push_back(letter(kind == 0 ? true : kind == 1 && i == 0));
    const uint32_t after = next() % 40;
    if (after <= 1) {  // CR LF or LF
      if (after == 0) out.push_back('\r');
      out.push_back('\n');
      if (indent) out.push_back(' ');
    } else if (after == 2) {
      out.push_back(static_cast<uint8_t>(1 + next() % 3));  // control byte inside a word
    } else {
      if (after == 3) out.push_back(',');
      out.push_back(' ');
    }
  }
  out.resize(n);
  return out;
}

struct Filtered {
  uint8_t type;
  size_t coded_length;
  Bytes restored;
};

Filtered filter_and_undo(const Bytes& input) {
  Filtered f;
  f.restored = run_pass(input, [&](uint8_t* w, uint32_t& n) {
    f.type = try_text_filter(w, n);
    f.coded_length = n;
    if (f.type != 0) undo_text_filter(w, n, f.type);
  });
  return f;
}

TEST(TextFilter, CaseFoldingWorkedExamplesAndTheirInverse) {
  const struct {
    Bytes in;
    int charset;
    Bytes out;
  } cases[] = {
      {bytes_of("Hello WORLD x A1 eMail McDonald"), 1, bytes_of("\x02hello \x03world x \x02" "a1 eMail McDonald")},
      // Control bytes are escaped, even inside capitalised words.
      {bytes_of("Ab\x02" "c \x01 \x03"), 1, bytes_of("\x02" "ab\x01\x02" "c \x01\x01 \x01\x03")},
      // Capitals before a digit, a lone capital and inner capitals stay;
      // a word of capitals is flagged.
      {bytes_of("AB1 aB McD A AB"), 1, bytes_of("AB1 aB McD A \x03" "ab")},
      // Code page 866: capitals lower across the gap.
      {{0x90, 0xA0, ' ', 0x80, 0x8F, 0x9F}, 2, {0x02, 0xE0, 0xA0, ' ', 0x03, 0xA0, 0xAF, 0xEF}},
  };
  for (const auto& c : cases) {
    const Bytes out = run_pass(c.in, [&](uint8_t* w, uint32_t& n) { fold_case_and_escape(w, n, c.charset); });
    EXPECT_EQ(out, c.out) << "case " << &c - cases;
    EXPECT_EQ(run_pass(out, [&](uint8_t* w, uint32_t& n) { restore_case_and_escapes(w, n, c.charset); }), c.in)
        << "case " << &c - cases;
  }
}

TEST(TextFilter, SpacingAfterLineBreaksUnlessLinesMostlyStartWithASpace) {
  const Bytes input = bytes_of("ab\r\ncd\r\n  ef\n");
  const Bytes out = run_pass(input, [](uint8_t* w, uint32_t& n) { EXPECT_TRUE(apply_line_break_spacing(w, n)); });
  // CR is followed by LF (below 0x20): no space; after LF one space; the
  // final LF counts as followed by a space.
  EXPECT_EQ(out, bytes_of("ab\r\n cd\r\n   ef\n "));
  EXPECT_EQ(run_pass(out, remove_line_break_spacing), input);
  const Bytes indented = bytes_of("a\n b\n c\n d\ne");
  EXPECT_EQ(run_pass(indented, [](uint8_t* w, uint32_t& n) { EXPECT_FALSE(apply_line_break_spacing(w, n)); }),
            indented);
}

TEST(TextFilter, DetectionNeeds1024BytesCountsWrapAt16BitsAndAccentsScoreLow) {
  const Bytes text = make_text(1024, 1, false, 7);
  EXPECT_EQ(detect_text_charset(text.data(), 1023), 0);
  EXPECT_EQ(detect_text_charset(text.data(), 1024), 1);
  // 70,000 spaces count as 4,464: with 10,000 letters the good bytes no
  // longer reach a fifth of the block.
  Bytes block(70000, ' ');
  for (int i = 0; i < 10000; ++i) block.push_back(static_cast<uint8_t>('a' + i % 26));
  EXPECT_EQ(detect_text_charset(block.data(), static_cast<uint32_t>(block.size())), 0);
  block.erase(block.begin(), block.begin() + 65536);  // the same counts, 4,464 spaces
  EXPECT_EQ(detect_text_charset(block.data(), static_cast<uint32_t>(block.size())), 1);
  Bytes accented = make_text(20000, 1, false, 5);
  for (size_t i = 0; i < accented.size(); i += 7) accented[i] = 0xE9;
  EXPECT_EQ(detect_text_charset(accented.data(), 20000), 0);
}

TEST(TextFilter, EveryTextTypeRoundTrips) {
  const uint8_t expected[2][3] = {{0x18, 0x19, 0x1A}, {0x10, 0x11, 0x12}};
  for (int indent = 0; indent < 2; ++indent) {
    for (int charset = 1; charset <= 3; ++charset) {
      const Bytes text = make_text(BLOCK_SIZE, charset, indent == 1, 100 + charset);
      const Filtered f = filter_and_undo(text);
      EXPECT_EQ(f.type, expected[indent][charset - 1]);
      EXPECT_EQ(f.restored, text) << "charset " << charset << " indent " << indent;
    }
  }
}

TEST(TextFilter, WorstCaseGrowthStaysWithinTheBlockHeader) {
  // 131,072 bytes 0x01 count as none, so the block passes detection while
  // almost every byte doubles: spaces after line breaks, flags, escapes.
  Bytes block;
  for (int i = 0; i < 5300; ++i) block.insert(block.end(), {0x01, ' '});
  for (int i = 0; i < 62886; ++i) block.insert(block.end(), {'A', 0x01, 0x01, '\n'});
  ASSERT_EQ(block.size(), BLOCK_SIZE);
  const Filtered f = filter_and_undo(block);
  EXPECT_EQ(f.type, 0x18);
  EXPECT_EQ(f.coded_length, 518988u);
  EXPECT_LE(f.coded_length, MAX_CODED_BLOCK);
  EXPECT_EQ(f.restored, block);
}

TEST(NgramSubstitution, WorkedExamplesAndExpandInvertsSubstitute) {
  auto substitute = [](const std::string& s) { return run_pass(bytes_of(s), substitute_ngrams); };
  EXPECT_EQ(substitute("withal"), (Bytes{0xDB, 0x81}));
  EXPECT_EQ(substitute("there"), (Bytes{0xDF, 'e'}));  // ther before the
  EXPECT_EQ(substitute("x\xB2\x04\xB5"), (Bytes{'x', 0x04, 0xB2, 0x04, 0x04, 0xB5}));
  EXPECT_EQ(substitute("xyzwith"), (Bytes{'x', 'y', 'z', 0xDB}));  // ends at the last byte
  EXPECT_EQ(substitute("xyzal"), (Bytes{'x', 'y', 'z', 0x81}));
  EXPECT_EQ(substitute("WITH"), bytes_of("WITH"));
  const Bytes plain = bytes_of("xyz 123 ;!");
  EXPECT_EQ(run_pass(plain, expand_ngrams), plain);
  Bytes all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<uint8_t>(c));
  const Bytes text = bytes_of("the weather was mov jmp pop // ought to have been read from a call");
  all.insert(all.end(), text.begin(), text.end());
  EXPECT_EQ(run_pass(run_pass(all, substitute_ngrams), expand_ngrams), all);
}

}  // namespace
}  // namespace tarn
