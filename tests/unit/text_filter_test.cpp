// Text filter and n-gram dictionary: the worked examples of the format, the
// detection rules, and round trips of every text block type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
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
  std::copy(input.begin(), input.end(), work.begin());
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

// Case restoring as first written: one byte at a time through a state.
void plain_restore_case_and_escapes(uint8_t* work, uint32_t& length, int charset) {
  auto to_upper = [charset](uint8_t c) {
    if (charset == 1 || charset == 3) return static_cast<uint8_t>(c - 0x20);
    if (charset == 2) return static_cast<uint8_t>(c <= 0xAF ? c - 0x20 : c - 0x50);
    return c;
  };
  uint32_t out = 0;
  uint8_t state = 0;
  uint32_t letters = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t c = work[i];
    if (c == 0x01) {
      if (i + 1 < length) work[out++] = work[++i];
    } else if (c == 0x02 || c == 0x03) {
      state = c;
      letters = 0;
    } else if (TEXT_DELIMITERS[c]) {
      work[out++] = c;
      state = 0;
    } else {
      ++letters;
      work[out++] = state == 0x03 || (state == 0x02 && letters == 1) ? to_upper(c) : c;
    }
  }
  length = out;
}

void plain_remove_line_break_spacing(uint8_t* work, uint32_t& length) {
  uint32_t out = 0;
  uint8_t previous = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (!(work[i] == ' ' && (previous == '\r' || previous == '\n'))) work[out++] = work[i];
    previous = work[i];
  }
  length = out;
}

TEST(TextFilter, CaseRestoringAndSpacingRemovalMatchThePlainPassesOnAnyBytes) {
  // Folded text of each set, and strings thick with escapes, flags (also at
  // the ends and one after another), letters, delimiters and line breaks.
  std::vector<std::tuple<Bytes, int>> inputs;
  for (int charset = 1; charset <= 3; ++charset)
    for (uint32_t n : {0u, 1u, 9u, 3000u, 3001u})
      inputs.emplace_back(run_pass(make_text(n, charset, n % 2 == 1, n + 5),
                                   [&](uint8_t* w, uint32_t& m) { fold_case_and_escape(w, m, charset); }),
                          charset);
  const Bytes pool = {0x01, 0x02, 0x03, 'a', 'z', 'Q', 0x85, 0xB5, 0xE5, ' ', ',', '\n', 0x02, 0x03, '\r', ' '};
  testdata::Lcg rng(7);
  for (uint32_t k = 0; k < 400; ++k) {
    Bytes b(rng.next() % 40);
    for (uint8_t& c : b) c = pool[rng.next() % pool.size()];
    inputs.emplace_back(b, static_cast<int>(k % 4));
  }
  for (size_t k = 0; k < inputs.size(); ++k) {
    const auto& [in, charset] = inputs[k];
    const int set = charset;
    ASSERT_EQ(run_pass(in, [&](uint8_t* w, uint32_t& n) { restore_case_and_escapes(w, n, set); }),
              run_pass(in, [&](uint8_t* w, uint32_t& n) { plain_restore_case_and_escapes(w, n, set); }))
        << "input " << k;
    ASSERT_EQ(run_pass(in, remove_line_break_spacing), run_pass(in, plain_remove_line_break_spacing)) << "input " << k;
  }
}

// Case folding as first written: a branch per byte for each character set,
// the word's class found by a small state machine, every byte put one by one.
void plain_fold_case_and_escape(uint8_t* work, uint32_t& length, int charset) {
  auto is_upper = [charset](uint8_t c) {
    switch (charset) {
      case 1: return c >= 0x41 && c <= 0x5A;
      case 2: return c >= 0x80 && c <= 0x9F;
      case 3: return c >= 0xC0 && c <= 0xDF;
      default: return false;
    }
  };
  auto to_lower = [charset](uint8_t c) {
    return static_cast<uint8_t>(charset == 2 && c >= 0x90 ? c + 0x50 : c + 0x20);
  };
  {
    BoundedWriter out(work, length);
    for (uint32_t i = 0; i < length; ++i) {
      if (work[i] >= 0x01 && work[i] <= 0x03) out.put(0x01);
      out.put(work[i]);
    }
    out.move_to_front(length);
  }
  const uint32_t n = length;
  BoundedWriter out(work, n);
  uint32_t i = 0;
  while (i < n) {
    if (TEXT_DELIMITERS[work[i]]) {
      out.put(work[i++]);
      continue;
    }
    uint32_t end = i + 1;
    while (end < n && !TEXT_DELIMITERS[work[end]]) ++end;
    const uint32_t m = end - i;
    auto case_flag = [&]() -> uint8_t {
      if (m < 2) return 0;
      uint8_t state = 0;
      for (uint32_t k = i; k < end; ++k) {
        const bool upper = is_upper(work[k]);
        if (state == 0 && !upper) return 0;
        if ((state == 2 && upper) || (state == 3 && !upper)) return 0;
        if (state <= 1) state = state == 0 ? 1 : upper ? 3 : 2;
      }
      return state;
    };
    const uint8_t flag = case_flag();
    if (uint8_t* span = out.reserve(m + 1)) {
      uint32_t used = 0;
      if (flag != 0) span[used++] = flag;
      for (uint32_t k = i; k < end; ++k)
        span[used++] = flag != 0 && is_upper(work[k]) ? to_lower(work[k]) : work[k];
      out.unreserve(m + 1 - used);
    } else {
      for (uint32_t k = i; k < end; ++k) out.put(work[k]);
    }
    i = end;
  }
  out.move_to_front(length);
}

TEST(TextFilter, CaseFoldingMatchesThePlainPassOnEveryCharacterSet) {
  // Words of each set's capitals and small letters, every byte value, the
  // delimiters, runs at the block's ends and lengths around 16.
  std::vector<Bytes> inputs;
  for (uint32_t n : {0u, 1u, 2u, 15u, 16u, 17u, 33u, 5000u}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      inputs.push_back(testdata::random_bytes(n, seed));
      for (int charset = 1; charset <= 3; ++charset) inputs.push_back(make_text(n, charset, seed == 2, seed * 7 + n));
    }
  }
  Bytes pool = bytes_of("AZaz@[`{ \n,.-");
  pool.insert(pool.end(), {0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xAF, 0xB0, 0xBF, 0xC0, 0xDF, 0xE0, 0xEF, 0xF0, 0xFF, 0x01});
  testdata::Lcg rng(99);
  for (uint32_t k = 0; k < 200; ++k) {
    Bytes b(1 + rng.next() % 40);
    for (uint8_t& c : b) c = pool[rng.next() % pool.size()];
    inputs.push_back(b);
  }
  for (int c = 0; c < 256; ++c)
    for (int d : {0x41, 0x61, 0x85, 0x95, 0xA5, 0xC5, 0xE5}) inputs.push_back({static_cast<uint8_t>(c), static_cast<uint8_t>(d), ' '});
  Bytes work(WORK_BUFFER_SIZE);
  auto fold = [&work](const Bytes& in, int charset, auto pass) {
    std::copy(in.begin(), in.end(), work.begin());
    uint32_t n = static_cast<uint32_t>(in.size());
    pass(work.data(), n, charset);
    return Bytes(work.begin(), work.begin() + n);
  };
  for (int charset = 0; charset <= 3; ++charset) {
    for (const Bytes& in : inputs) {
      ASSERT_EQ(fold(in, charset, fold_case_and_escape), fold(in, charset, plain_fold_case_and_escape))
          << "charset " << charset << " input " << &in - inputs.data();
    }
  }
  // Grown past the work buffer: the bytes that fit are those of the plain
  // pass, and words near the end stay as they are.
  Bytes capitals;
  while (capitals.size() < 1200000) capitals.insert(capitals.end(), {'A', 'b', ' ', 'C', 'D', ',', 'e'});
  const Bytes expected = fold(capitals, 1, plain_fold_case_and_escape);
  EXPECT_LT(expected.size(), capitals.size() * 9 / 7);
  std::fill(work.begin(), work.end(), uint8_t{0xAA});  // nothing left of the plain pass's output
  EXPECT_EQ(fold(capitals, 1, fold_case_and_escape), expected);
}

TEST(TextFilter, SpacingAfterLineBreaksUnlessLinesMostlyStartWithASpace) {
  // a = line breaks before a byte above 0x20, b = before a space; spacing is
  // skipped only when b > 2a.
  const struct {
    const char* in;
    bool applied;
    const char* out;
  } cases[] = {
      // CR is followed by LF (below 0x20): no space; after LF one space; the
      // final LF counts as followed by a space.
      {"ab\r\ncd\r\n  ef\n", true, "ab\r\n cd\r\n   ef\n "},
      {"a\n b\n c\nd", true, "a\n  b\n  c\n d"},  // b = 2a
      {"a\n b\n c\n d\ne", false, "a\n b\n c\n d\ne"},
      {"a\n\tb\r\n", true, "a\n\tb\r\n "},  // a tab is neither
  };
  for (const auto& c : cases) {
    bool applied = !c.applied;
    const Bytes out =
        run_pass(bytes_of(c.in), [&](uint8_t* w, uint32_t& n) { applied = apply_line_break_spacing(w, n); });
    EXPECT_EQ(applied, c.applied) << c.in;
    EXPECT_EQ(out, bytes_of(c.out)) << c.in;
    if (applied) {
      EXPECT_EQ(run_pass(out, remove_line_break_spacing), bytes_of(c.in)) << c.in;
    }
  }
  // The pass against one that goes a byte at a time: line breaks at either
  // end, runs of them, before spaces, tabs and letters, blocks around eight
  // bytes, and a block whose spaces no longer fit in the work buffer. The
  // count looks at eight bytes at once: bytes one off a space and the line
  // breaks and space with the high bit set must not count.
  auto plain = [](uint8_t* work, uint32_t& length) {
    const uint32_t n = length;
    uint32_t a = 0, b = 0;
    for (uint32_t i = 0; i + 1 < n; ++i) {
      if (work[i] != '\r' && work[i] != '\n') continue;
      a += work[i + 1] > ' ';
      b += work[i + 1] == ' ';
    }
    if (b > 2 * a) return;
    BoundedWriter out(work, n);
    for (uint32_t i = 0; i < n; ++i) {
      out.put(work[i]);
      if ((work[i] == '\r' || work[i] == '\n') && (i + 1 == n || work[i + 1] >= ' ')) out.put(' ');
    }
    out.move_to_front(length);
  };
  auto spaced = [](uint8_t* w, uint32_t& n) { apply_line_break_spacing(w, n); };
  const Bytes pool = bytes_of("\r\n\n \tab.\x01\x8D\x8A\xA0!\x1F");
  testdata::Lcg rng(5);
  for (uint32_t k = 0; k < 600; ++k) {
    Bytes in(k < 40 ? k : rng.next() % 300);
    for (uint8_t& c : in) c = pool[rng.next() % pool.size()];
    ASSERT_EQ(run_pass(in, spaced), run_pass(in, plain)) << "input " << k;
  }
  Bytes breaks(WORK_BUFFER_SIZE / 2 - 100, 'x');
  for (size_t i = 0; i < breaks.size(); i += 3) breaks[i] = '\n';
  EXPECT_EQ(run_pass(breaks, spaced), run_pass(breaks, plain));
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

TEST(TextFilter, ByteCountsCountEveryByteOnce) {
  // The counts the x86 and text decisions share: blocks cut into eight
  // stretches and a rest, of every rest length, and one long run of a value.
  for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 17u, 1000u, 1031u, 262144u, 300007u}) {
    testdata::Lcg rng(n);
    Bytes block(n);
    for (uint8_t& x : block) x = static_cast<uint8_t>(rng.next() % 7 == 0 ? ' ' : rng.next());
    uint32_t expected[256] = {};
    for (uint8_t x : block) ++expected[x];
    ByteCounts counts;
    count_bytes(block.data(), n, counts);
    for (int c = 0; c < 256; ++c) ASSERT_EQ(counts.count[c], expected[c]) << n << " value " << c;
  }
}

// A block of runs of the given byte values; detection only counts them.
Bytes runs(std::initializer_list<std::pair<uint8_t, uint32_t>> counts) {
  Bytes out;
  for (const auto& [byte, count] : counts) out.insert(out.end(), count, byte);
  return out;
}

Bytes lines(const std::string& line, size_t n) {
  Bytes out;
  while (out.size() + line.size() <= n) out.insert(out.end(), line.begin(), line.end());
  return out;
}

TEST(TextFilter, DetectionScoresAtTheirBoundaries) {
  // Good bytes G (letters of the set, CR, LF, space) against bad ones B (all
  // others; 0x01-0x04 count 4 more, and for Latin 16 more, plus 4 more for
  // each byte the n-gram pass escapes): Latin needs G > 2B and 25 W > G,
  // Cyrillic G > 3B and 16 W > G (W: spaces and tabs). The score G - B must
  // beat n / 5 and any earlier set's score.
  const struct {
    const char* what;
    Bytes block;
    int charset;
  } cases[] = {
      {"Latin G = 2B", runs({{'a', 1900}, {' ', 100}, {'1', 1000}}), 0},
      {"Latin G = 2B + 1", runs({{'a', 1901}, {' ', 100}, {'1', 1000}}), 1},
      {"lines of G/B = 16/7", lines("word 1234.56 word word\n", 20000), 1},
      {"10 controls in B = 1000", runs({{'a', 1900}, {' ', 100}, {0x01, 10}, {'1', 830}}), 0},
      {"10 controls, G = 2B + 1", runs({{'a', 1901}, {' ', 100}, {0x01, 10}, {'1', 830}}), 1},
      {"200 escaped bytes in B = 1000", runs({{'a', 1900}, {' ', 100}, {0x80, 200}}), 0},
      {"200 escaped bytes, G = 2B + 1", runs({{'a', 1901}, {' ', 100}, {0x80, 200}}), 1},
      {"Latin 25 W = G", runs({{'a', 2400}, {' ', 100}, {'1', 1000}}), 0},
      {"Latin 25 W = G + 25", runs({{'a', 2399}, {' ', 101}, {'1', 1000}}), 1},
      {"866 G = 3B", runs({{0xA0, 2800}, {' ', 200}, {'1', 1000}}), 0},
      {"866 G = 3B + 1", runs({{0xA0, 2801}, {' ', 200}, {'1', 1000}}), 2},
      {"866 16 W = G", runs({{0xA0, 1500}, {' ', 100}, {'1', 500}}), 0},
      {"866 16 W = G + 16", runs({{0xA0, 1499}, {' ', 101}, {'1', 500}}), 2},
      {"1251 G = 3B", runs({{0xC0, 2800}, {' ', 200}, {'1', 1000}}), 0},
      {"1251 G = 3B + 1", runs({{0xC0, 2801}, {' ', 200}, {'1', 1000}}), 3},
      {"1251 16 W = G", runs({{0xC0, 1500}, {' ', 100}, {'1', 500}}), 0},
      {"1251 16 W = G + 16", runs({{0xC0, 1499}, {' ', 101}, {'1', 500}}), 3},
      {"Latin and 866 both score 800", runs({{'a', 300}, {0x80, 100}, {' ', 1000}}), 1},
      {"866 scores 801 to 799", runs({{'a', 299}, {0x80, 100}, {' ', 1000}}), 2},
      {"866 and 1251 both score 1000", runs({{0x80, 100}, {0xC0, 100}, {' ', 1000}}), 2},
      {"1251 scores 1001 to 999", runs({{0x80, 99}, {0xC0, 100}, {' ', 1000}}), 3},
      // 66,536 spaces count as 1,000: the score 16,384 is exactly n / 5.
      {"score = n / 5", runs({{' ', 66536}, {'a', 15384}}), 0},
      {"score = n / 5 + 1", runs({{' ', 66536}, {'a', 15385}}), 1},
      // The last two bytes are counted past the block's whole groups of four.
      {"Latin G = 2B - 1, two bad bytes at the end", runs({{'a', 1901}, {' ', 100}, {'1', 1001}}), 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(detect_text_charset(c.block.data(), static_cast<uint32_t>(c.block.size())), c.charset) << c.what;
  const Filtered f = filter_and_undo(cases[2].block);
  EXPECT_EQ(f.type, 0x18);
  EXPECT_EQ(f.restored, cases[2].block);
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

TEST(NgramSubstitution, ExpandMatchesTheCodesExpandedOneByOneUpToTheBufferEnd) {
  // Codes, literals and escapes, in blocks short and long enough to expand
  // past the work buffer, where the rest is dropped.
  std::vector<Bytes> single(256);
  for (int c = 0; c < 256; ++c) single[c] = run_pass({static_cast<uint8_t>(c)}, expand_ngrams);
  testdata::Lcg rng(11);
  for (uint32_t n : {1u, 2u, 7u, 1000u, WORK_BUFFER_SIZE / 3, WORK_BUFFER_SIZE / 2 + 5}) {
    Bytes in(n);
    for (uint8_t& c : in) {
      const uint32_t k = rng.next();
      c = k % 8 == 0 ? 0x04 : static_cast<uint8_t>(k >> 8);
    }
    Bytes expected;
    for (size_t i = 0; i < n; ++i) {
      if (in[i] != 0x04)
        expected.insert(expected.end(), single[in[i]].begin(), single[in[i]].end());
      else if (i + 1 < n)
        expected.push_back(in[++i]);
    }
    expected.resize(std::min<size_t>(expected.size(), WORK_BUFFER_SIZE - n));
    ASSERT_EQ(run_pass(in, expand_ngrams), expected) << "length " << n;
  }
}

// The dictionary's passes as first written: every group of the length tried
// at every position, over the whole output of the pass before. The groups are
// read back from the codes.
Bytes plain_substitute_ngrams(const Bytes& input) {
  static const std::vector<Bytes> groups = [] {
    std::vector<Bytes> g(256);
    for (int c = 0x80; c <= 0xFC; ++c) g[c] = run_pass({static_cast<uint8_t>(c)}, expand_ngrams);
    return g;
  }();
  Bytes work;
  for (uint8_t c : input) {
    if (c == 0x04 || (c >= 0x80 && c <= 0xB2) || (c >= 0xCE && c <= 0xFC)) work.push_back(0x04);
    work.push_back(c);
  }
  for (const auto& [first, last, size] : {std::tuple{0xCE, 0xDF, 4u}, {0xE0, 0xFC, 3u}, {0x80, 0xB2, 2u}}) {
    Bytes out;
    size_t i = 0;
    while (i < work.size()) {
      int code = 0;
      for (int c = first; c <= last && code == 0 && i + size <= work.size(); ++c) {
        const Bytes& letters = groups[c];
        if (std::equal(letters.begin(), letters.end(), work.begin() + static_cast<ptrdiff_t>(i))) code = c;
      }
      out.push_back(code != 0 ? static_cast<uint8_t>(code) : work[i]);
      i += code != 0 ? size : 1;
    }
    work = out;
  }
  return work;
}

TEST(NgramSubstitution, MatchesThePlainPasses) {
  // Letters the groups are made of, so that groups of every length meet and
  // overlap, with codes and escapes among them; lengths around the loads of
  // four and two bytes.
  const Bytes pool = bytes_of("theraisnowdglcfbkmu/ \x04\x80\xB2\xB3\xCD\xCE\xFC\xFD");
  testdata::Lcg rng(5);
  std::vector<Bytes> inputs = {bytes_of("withal"), bytes_of("thethe"), bytes_of("ttle"), bytes_of("xthe")};
  for (uint32_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 15u, 16u, 17u, 300u}) {
    for (uint32_t k = 0; k < 20; ++k) {
      Bytes b(n);
      for (uint8_t& c : b) c = pool[rng.next() % (k % 2 == 0 ? 20 : pool.size())];
      inputs.push_back(b);
    }
  }
  inputs.push_back(testdata::random_bytes(2000, 8));
  inputs.push_back(make_text(3000, 1, false, 4));
  for (const Bytes& in : inputs)
    ASSERT_EQ(run_pass(in, substitute_ngrams), plain_substitute_ngrams(in)) << "input " << &in - inputs.data();
}

TEST(NgramSubstitution, MatchesThePlainPassesAcrossTheBigramPassSteps) {
  // The pair pass takes 64 positions at a time once 16 bytes are dropped,
  // moving the bytes between pairs as runs: runs of pairs of every length
  // and parity (one pair ends a step exactly, one reaches into the next),
  // long stretches without a pair (runs longer than one 16-byte copy, and
  // across steps), and block lengths around where the steps stop. Letters
  // from a, e, n, x, '-' give overlapping pairs ("an", "ea", "ee", "en").
  testdata::Lcg rng(9);
  std::vector<Bytes> inputs;
  const Bytes pairs = bytes_of("aneexnea-");
  for (uint32_t n : {79u, 80u, 81u, 95u, 96u, 97u, 111u, 112u, 143u, 144u, 145u, 160u, 161u, 1000u, 4099u}) {
    for (uint32_t k = 0; k < 12; ++k) {
      Bytes b(n);
      for (uint8_t& c : b) c = pairs[rng.next() % pairs.size()];
      inputs.push_back(b);
      // 16 pairs taken at once, then runs of one letter between chains of
      // "eee..." (pairs taken every other position) of random length.
      Bytes chains = bytes_of(std::string(32, 'e'));
      while (chains.size() < n) {
        const uint32_t r = rng.next();
        chains.insert(chains.end(), 1 + r % 9, 'e');
        chains.insert(chains.end(), 1 + (r >> 8) % (k % 3 == 0 ? 40 : 3), 'x');
      }
      chains.resize(n);
      inputs.push_back(chains);
    }
  }
  // A pair at the same place in every step: at its start, at its end, and
  // across into the next. 16 pairs "ee" drop the 16 bytes first, so the
  // steps begin at 32.
  for (uint32_t at : {0u, 1u, 62u, 63u}) {
    Bytes b = bytes_of(std::string(32, 'e') + std::string(600, 'x'));
    for (uint32_t p = 32 + at; p + 1 < b.size(); p += 64) b[p] = 'a', b[p + 1] = 'n';
    inputs.push_back(b);
  }
  inputs.push_back(testdata::random_bytes(70000, 3));
  inputs.push_back(make_text(70000, 1, true, 6));
  for (const Bytes& in : inputs)
    ASSERT_EQ(run_pass(in, substitute_ngrams), plain_substitute_ngrams(in)) << "input " << &in - inputs.data();
}

TEST(NgramSubstitution, TheBytesBehindTheBlockChangeNothing) {
  // The passes read four bytes at a time and move runs 16 bytes at a time,
  // but never read behind the block: letters that would make pairs with its
  // last bytes, or zeros, behind it give the same result.
  testdata::Lcg rng(2);
  for (uint32_t n : {2u, 3u, 5u, 81u, 96u, 144u, 1001u, 65536u + 17u}) {
    Bytes in(n);
    for (uint8_t& c : in) c = "theanwithsee -"[rng.next() % 14];
    Bytes results[2];
    for (int behind = 0; behind < 2; ++behind) {
      auto work = std::make_unique<uint8_t[]>(WORK_BUFFER_SIZE);
      std::fill(work.get(), work.get() + WORK_BUFFER_SIZE, behind == 0 ? uint8_t{0} : uint8_t{'n'});
      std::copy(in.begin(), in.end(), work.get());
      uint32_t length = n;
      substitute_ngrams(work.get(), length);
      results[behind].assign(work.get(), work.get() + length);
    }
    EXPECT_EQ(results[0], plain_substitute_ngrams(in)) << n;
    EXPECT_EQ(results[1], results[0]) << n;
  }
}

// The bound the decoder plans with: for one byte (not the escape) exactly
// what expand_ngrams makes of it, for an escaped byte -- an escaped escape
// too -- at least the one byte it stands for; and no text block restores to
// more.
TEST(NgramSubstitution, TheRestoredLengthBoundCountsEveryCodeAtItsLength) {
  for (int c = 0; c < 256; ++c) {
    const Bytes one{static_cast<uint8_t>(c)};
    if (c != 0x04) {
      EXPECT_EQ(expanded_ngram_bound(one.data(), 1), run_pass(one, expand_ngrams).size()) << c;
    }
    const Bytes escaped{0x04, static_cast<uint8_t>(c)};
    EXPECT_GE(expanded_ngram_bound(escaped.data(), 2), run_pass(escaped, expand_ngrams).size()) << c;
  }
  const Bytes words = run_pass(make_text(20000, 1, false, 3), [](uint8_t* w, uint32_t& n) { try_text_filter(w, n); });
  for (const uint8_t type : {0x10, 0x18}) {
    const Bytes restored = run_pass(words, [type](uint8_t* w, uint32_t& n) { undo_text_filter(w, n, type); });
    EXPECT_GE(restored_length_bound(words.data(), static_cast<uint32_t>(words.size()), type), restored.size());
    EXPECT_GT(restored.size(), words.size());  // the dictionary's codes grow it back
  }
  // Other types never grow a block.
  EXPECT_EQ(restored_length_bound(words.data(), static_cast<uint32_t>(words.size()), 0x11), words.size());
  EXPECT_EQ(restored_length_bound(words.data(), static_cast<uint32_t>(words.size()), BLOCK_EXE), words.size());
}

}  // namespace
}  // namespace tarn
