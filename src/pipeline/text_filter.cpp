// Text filter: makes natural-language text easier for the PPM model.
//
// Detection counts the block's bytes once (16-bit counters that wrap, as the
// format fixes) and scores three character sets: Latin, Cyrillic in code page
// 866 and in code page 1251. Each score is the number of "good" bytes (letters
// of the set, CR, LF, space) minus a weighted count of "bad" ones, and only
// counts when the good bytes clearly dominate and there are enough blanks; a
// later set must score strictly higher to win.
//
// A block that passes is rewritten in up to three passes, each writing its
// output behind the block and moving it to the front:
//   1. line-break spacing: a space after each CR or LF that is followed by a
//      printable byte (or ends the block), so that the first word of a line
//      has the same left context as any other word -- skipped when most line
//      breaks already carry a space;
//   2. escaping of the control bytes 0x01..0x03 as 0x01 + byte;
//   3. case folding per word: a capitalised word becomes 0x02 + lower case,
//      a word in capitals 0x03 + lower case; mixed words stay as they are.
// Latin text then goes through the n-gram dictionary. The block type records
// the character set and whether spacing was applied; the decoder runs the
// passes backwards. Every byte of the input grows by at most one byte and the
// blanks never grow, so a detected block of 256 KiB stays below the 19-bit
// length limit of the block header.
#include <array>
#include <cstring>

#include "common/byte_order.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"

namespace tarn {

namespace {

constexpr uint8_t CR = 0x0D;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t SPACE = 0x20;
constexpr uint8_t ESCAPE = 0x01;
constexpr uint8_t FLAG_CAPITALISED = 0x02;
constexpr uint8_t FLAG_CAPITALS = 0x03;

// The escape and the two case flags: escaped where the text has them.
constexpr std::array<bool, 256> CONTROL_BYTES = [] {
  std::array<bool, 256> t{};
  for (uint8_t c = ESCAPE; c <= FLAG_CAPITALS; ++c) t[c] = true;
  return t;
}();

constexpr std::array<bool, 256> LINE_BREAKS = [] {
  std::array<bool, 256> t{};
  t[CR] = true;
  t[LF] = true;
  return t;
}();

// Each character set's lower-case form of every byte: a capital of the set
// maps to its small letter, any other byte to itself. Lowering a capital
// always changes it, so a byte is a capital exactly when the table moves it.
// Set 0 (not text) has no capitals.
using CaseTable = std::array<uint8_t, 256>;

constexpr CaseTable build_lower_table(int charset) {
  CaseTable t{};
  for (unsigned c = 0; c < 256; ++c) {
    bool upper = false;
    switch (charset) {
      case 1: upper = c >= 0x41 && c <= 0x5A; break;
      case 2: upper = c >= 0x80 && c <= 0x9F; break;
      case 3: upper = c >= 0xC0 && c <= 0xDF; break;
      default: break;
    }
    const unsigned step = charset == 2 && c >= 0x90 ? 0x50 : 0x20;
    t[c] = static_cast<uint8_t>(upper ? c + step : c);
  }
  return t;
}

constexpr std::array<CaseTable, 4> LOWER_CASE = {build_lower_table(0), build_lower_table(1), build_lower_table(2),
                                                 build_lower_table(3)};

// The tables' index of a character set: sets outside 1..3 have no capitals.
int case_index(int charset) { return charset >= 1 && charset <= 3 ? charset : 0; }

const CaseTable& lower_case_table(int charset) { return LOWER_CASE[case_index(charset)]; }

// The capitals of each set, as flags.
using CapitalTable = std::array<bool, 256>;

constexpr CapitalTable build_capital_table(int charset) {
  CapitalTable t{};
  for (unsigned c = 0; c < 256; ++c) t[c] = LOWER_CASE[charset][c] != c;
  return t;
}

constexpr std::array<CapitalTable, 4> CAPITALS = {build_capital_table(0), build_capital_table(1),
                                                  build_capital_table(2), build_capital_table(3)};

// The decoder's inverse; applied to whatever byte follows a case flag.
uint8_t to_upper(int charset, uint8_t c) {
  switch (charset) {
    case 1:
    case 3: return static_cast<uint8_t>(c - 0x20);
    case 2: return static_cast<uint8_t>(c <= 0xAF ? c - 0x20 : c - 0x50);
    default: return c;
  }
}

// 0 when the word stays as it is, else the flag of its case class: a
// capital followed only by small letters, or capitals only.
uint8_t word_case_flag(const uint8_t* word, uint32_t m, const CaseTable& lower) {
  if (m < 2 || lower[word[0]] == word[0]) return 0;
  uint32_t capitals = 0;  // among the bytes after the first
  for (uint32_t i = 1; i < m; ++i) capitals += lower[word[i]] != word[i];
  if (capitals == 0) return FLAG_CAPITALISED;
  return capitals == m - 1 ? FLAG_CAPITALS : 0;
}

// Bytes eight at a time in a 64-bit word, the first in the low byte.
constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;

// The high bit of every byte of v that equals c, and no other bit.
uint64_t equal_bytes(uint64_t v, uint8_t c) {
  const uint64_t x = v ^ (c * ONES);
  return ~(((x & LOW7) + LOW7) | x | LOW7);
}

// The number of bytes with their high bit set, in a word of high bits only.
uint32_t count_high_bits(uint64_t v) { return static_cast<uint32_t>(((v >> 7) * ONES) >> 56); }

void escape_control_bytes(uint8_t* work, uint32_t& length) { escape_bytes(work, length, CONTROL_BYTES.data(), ESCAPE); }

// Only a word that begins with a capital can change; the bytes between two
// such words are copied as one run.
void fold_words(uint8_t* work, uint32_t& length, int charset) {
  const CapitalTable& capital = CAPITALS[case_index(charset)];
  const uint32_t n = length;
  BoundedWriter out(work, n);
  uint32_t copied = 0;  // the input before this is written
  uint32_t i = 0;
  for (;;) {
    i = first_flagged(work, i, n, capital.data());
    if (i == n) break;
    // A capital is never a delimiter, so it begins a word exactly when the
    // byte before it is one.
    if (i > 0 && !TEXT_DELIMITERS[work[i - 1]]) {
      ++i;
      continue;
    }
    out.put_span(work + copied, i - copied);
    uint32_t end = i + 1;
    while (end < n && !TEXT_DELIMITERS[work[end]]) ++end;
    const uint32_t m = end - i;
    if (uint8_t* span = out.reserve(m + 1)) {
      const uint32_t used = encode_word(work + i, m, charset, span);
      out.unreserve(m + 1 - used);  // a word left as it is has no flag byte
    } else {  // only a block far larger than any detected one gets here
      out.put_span(work + i, m);
    }
    copied = end;
    i = end;
  }
  out.put_span(work + copied, n - copied);
  out.move_to_front(length);
}

}  // namespace

void count_bytes(const uint8_t* block, uint32_t n, ByteCounts& counts) {
  // Eight stretches of the block side by side, each counted in a table of
  // its own: a value that comes back soon (a space every few bytes) then
  // does not make each count wait on the one before.
  constexpr uint32_t PARTS = 8;
  uint32_t part[PARTS][256] = {};
  const uint32_t stretch = n / PARTS;
  for (uint32_t j = 0; j < stretch; ++j)
    for (uint32_t k = 0; k < PARTS; ++k) ++part[k][block[k * stretch + j]];
  for (uint32_t i = PARTS * stretch; i < n; ++i) ++part[0][block[i]];
  for (uint32_t c = 0; c < 256; ++c) {
    uint32_t sum = 0;
    for (uint32_t k = 0; k < PARTS; ++k) sum += part[k][c];
    counts.count[c] = sum;
  }
}

int detect_text_charset(const uint8_t* block, uint32_t n) {
  if (n < 1024) return 0;
  ByteCounts counts;
  count_bytes(block, n, counts);
  return detect_text_charset(counts, n);
}

int detect_text_charset(const ByteCounts& counts, uint32_t n) {
  if (n < 1024) return 0;
  uint16_t h[256];  // the counts modulo 65536
  for (unsigned c = 0; c < 256; ++c) h[c] = static_cast<uint16_t>(counts.count[c]);

  auto sum = [&h](unsigned lo, unsigned hi) {
    uint32_t s = 0;
    for (unsigned c = lo; c <= hi; ++c) s += h[c];
    return s;
  };
  const uint32_t total = sum(0x00, 0xFF);
  const uint32_t blanks = h[0x20] + h[0x09];
  const uint32_t controls = sum(0x01, 0x04);
  const uint32_t breaks_and_spaces = h[CR] + h[LF] + h[SPACE];

  const uint32_t good1 = sum('A', 'Z') + sum('a', 'z') + breaks_and_spaces;
  const uint32_t bad1 = (total - good1) + 16 * controls + 4 * (sum(0x80, 0xB2) + sum(0xCE, 0xFC));
  const uint32_t s1 = (good1 > 2 * bad1 && 25 * blanks > good1) ? good1 - bad1 : 0;

  const uint32_t good2 = sum(0x80, 0xAF) + sum(0xE0, 0xEF) + breaks_and_spaces;
  const uint32_t bad2 = (total - good2) + 4 * controls;
  const uint32_t s2 = (good2 > 3 * bad2 && 16 * blanks > good2) ? good2 - bad2 : 0;

  const uint32_t good3 = sum(0xC0, 0xFF) + breaks_and_spaces;
  const uint32_t bad3 = (total - good3) + 4 * controls;
  const uint32_t s3 = (good3 > 3 * bad3 && 16 * blanks > good3) ? good3 - bad3 : 0;

  uint32_t best = n / 5;
  int charset = 0;
  if (s1 > best) {
    charset = 1;
    best = s1;
  }
  if (s2 > best) {
    charset = 2;
    best = s2;
  }
  if (s3 > best) charset = 3;
  return charset;
}

bool apply_line_break_spacing(uint8_t* work, uint32_t& length) {
  const uint32_t n = length;
  const bool* breaks = LINE_BREAKS.data();
  uint32_t before_word = 0;   // line breaks followed by a printable byte
  uint32_t before_space = 0;  // line breaks followed by a space
  if (n > 0) {
    // Eight positions at a time, with no branch per line: a byte's high bit
    // marks a line break, and the byte after it being printable or a space.
    uint32_t i = 0;
    for (; n - 1 - i >= 8; i += 8) {
      const uint64_t here = load_le64(work + i);
      const uint64_t next = load_le64(work + i + 1);
      const uint64_t is_break = equal_bytes(here, CR) | equal_bytes(here, LF);
      const uint64_t printable = (((next & LOW7) + (0x80 - (SPACE + 1)) * ONES) | next) & ~LOW7;
      before_word += count_high_bits(is_break & printable);
      before_space += count_high_bits(is_break & equal_bytes(next, SPACE));
    }
    for (; i < n - 1; ++i) {
      if (!breaks[work[i]]) continue;
      if (work[i + 1] > SPACE) ++before_word;
      else if (work[i + 1] == SPACE) ++before_space;
    }
  }
  if (before_space > 2 * before_word) return false;

  // The lines are copied whole, each with its line break, and a space goes
  // behind the break unless a control byte follows.
  BoundedWriter out(work, n);
  uint32_t copied = 0;  // the input before this is written
  for (uint32_t i = first_flagged(work, 0, n, breaks); i < n; i = first_flagged(work, i + 1, n, breaks)) {
    out.put_span(work + copied, i + 1 - copied);
    copied = i + 1;
    if (i + 1 == n || work[i + 1] >= SPACE) out.put(SPACE);
  }
  out.put_span(work + copied, n - copied);
  out.move_to_front(length);
  return true;
}

uint32_t encode_word(const uint8_t* word, uint32_t m, int charset, uint8_t* out) {
  const CaseTable& lower = lower_case_table(charset);
  const uint8_t flag = word_case_flag(word, m, lower);
  if (flag == 0) {
    std::memcpy(out, word, m);
    return m;
  }
  out[0] = flag;
  for (uint32_t i = 0; i < m; ++i) out[i + 1] = lower[word[i]];
  return m + 1;
}

void fold_case_and_escape(uint8_t* work, uint32_t& length, int charset) {
  escape_control_bytes(work, length);
  fold_words(work, length, charset);
}

namespace {

// Moves work[from, to) down to work[out] (out <= from) and advances out.
void move_run(uint8_t* work, uint32_t& out, uint32_t from, uint32_t to) {
  if (out != from) std::memmove(work + out, work + from, to - from);
  out += to - from;
}

}  // namespace

// A space right behind a line break goes; the bytes between two such
// spaces are moved whole.
void remove_line_break_spacing(uint8_t* work, uint32_t& length) {
  const uint32_t n = length;
  const bool* breaks = LINE_BREAKS.data();
  uint32_t out = 0;
  uint32_t kept = 0;  // the input from here on is not yet moved
  for (uint32_t i = first_flagged(work, 0, n, breaks); i + 1 < n; i = first_flagged(work, i + 1, n, breaks)) {
    if (work[i + 1] != SPACE) continue;
    move_run(work, out, kept, i + 1);
    kept = i + 2;
    ++i;  // the space is no line break
  }
  move_run(work, out, kept, n);
  length = out;
}

// Outside a flagged word every byte but the three control bytes stays as it
// is, so the runs between them are moved whole. A flag's word is restored
// byte by byte up to its delimiter, or for a capitalised word up to its
// first letter: the rest of that word stays as it is.
void restore_case_and_escapes(uint8_t* work, uint32_t& length, int charset) {
  const uint32_t n = length;
  uint32_t out = 0;
  uint32_t i = 0;
  for (;;) {
    const uint32_t stop = first_flagged(work, i, n, CONTROL_BYTES.data());
    move_run(work, out, i, stop);
    if (stop == n) break;
    i = stop + 1;
    const uint8_t flag = work[stop];
    if (flag == ESCAPE) {
      if (i < n) work[out++] = work[i++];  // a lone escape at the end is dropped
      continue;
    }
    while (i < n) {
      const uint8_t c = work[i];
      if (c == ESCAPE) {
        if (++i < n) work[out++] = work[i++];
        continue;
      }
      if (CONTROL_BYTES[c] || TEXT_DELIMITERS[c]) break;  // a new flag, or the word's end
      work[out++] = to_upper(charset, c);
      ++i;
      if (flag == FLAG_CAPITALISED) break;
    }
  }
  length = out;
}

uint8_t try_text_filter(uint8_t* work, uint32_t& length) {
  ByteCounts counts;
  count_bytes(work, length, counts);
  return try_text_filter(work, length, counts);
}

uint8_t try_text_filter(uint8_t* work, uint32_t& length, const ByteCounts& counts) {
  const int charset = detect_text_charset(counts, length);
  if (charset == 0) return 0;
  const bool spacing = apply_line_break_spacing(work, length);
  fold_case_and_escape(work, length, charset);
  if (charset == 1) substitute_ngrams(work, length);
  return static_cast<uint8_t>(BLOCK_TEXT + (charset - 1) + (spacing ? 8 : 0));
}

void undo_text_filter(uint8_t* work, uint32_t& length, uint8_t block_type) {
  if (length > WORK_BUFFER_SIZE) length = WORK_BUFFER_SIZE;
  const int charset = (block_type & 7) + 1;
  if (charset == 1) expand_ngrams(work, length);
  restore_case_and_escapes(work, length, charset);
  if (block_type & 8) remove_line_break_spacing(work, length);
}

uint32_t restored_length_bound(const uint8_t* coded, uint32_t length, uint8_t block_type) {
  // Case restoring and line-break spacing only ever drop bytes.
  if (block_family(block_type) == BLOCK_TEXT && (block_type & 7) == 0) return expanded_ngram_bound(coded, length);
  return length;
}

}  // namespace tarn
