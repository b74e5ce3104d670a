// Text n-gram substitution: a fixed dictionary for lower-case English.
//
// After case folding, Latin text has its frequent letter groups replaced by
// single bytes from the upper half of the byte range: 18 four-letter groups
// (codes 0xCE..0xDF), 29 trigrams (0xE0..0xFC) and 51 bigrams (0x80..0xB2).
// Input bytes that collide with a code, and the escape byte 0x04 itself, are
// first written as 0x04 + byte. Then three greedy left-to-right passes run,
// longest groups first, each over the previous pass's whole output: four
// letters, three letters, two letters. All dictionary letters are below
// 0x80, so codes and escaped bytes never take part in a later match. The
// inverse is one pass that expands codes and drops escapes.
//
// The four-letter and trigram candidates of a position are chosen by its
// first byte (a handful of entries in table order, first match wins); the
// bigram pass is one lookup in a 64 KiB map. The tables are constants,
// built once.
#include <cstring>

#include "pipeline/filter_internals.h"

namespace tarn {

namespace {

constexpr uint8_t NGRAM_ESCAPE = 0x04;
constexpr uint8_t FIRST_BIGRAM = 0x80;
constexpr uint8_t FIRST_WORD = 0xCE;
constexpr uint8_t FIRST_TRIGRAM = 0xE0;

constexpr const char* BIGRAMS[51] = {
    "ai", "al", "an", "ar", "as", "at", "av", "ea", "ec", "ed", "ee", "en", "er",
    "et", "ic", "id", "il", "im", "in", "ir", "is", "it", "ld", "ll", "ly", "ol",
    "om", "on", "oo", "or", "ot", "ou", "ow", "sa", "sh", "ss", "st", "th", "to",
    "tr", "ul", "ur", "ch", "gh", "qu", "db", "dw", "dd", "if", "un", "//"};

constexpr const char* TRIGRAMS[29] = {
    "ead", "een", "ell", "end", "ess", "est", "had", "her", "his", "ich",
    "igh", "ing", "ith", "int", "ome", "our", "ous", "out", "the", "ght",
    "ard", "for", "rom", "ugh", "ver", "was", "mov", "jmp", "pop"};

constexpr const char* WORDS[18] = {"able", "been", "ight", "self", "have", "nder",
                                   "ound", "read", "from", "call", "case", "ward",
                                   "what", "with", "this", "ttle", "that", "ther"};

enum DecodeClass : uint8_t { LITERAL = 0, BIGRAM = 1, TRIGRAM = 2, WORD = 3, ESCAPED = 4 };

// Entries [first, first + count) of a table are the candidates of a letter.
struct Candidates {
  uint8_t first = 0;
  uint8_t count = 0;
};

struct NgramTables {
  uint8_t bigram_code[65536];
  Candidates trigram_candidates[256];
  Candidates word_candidates[256];
  uint8_t decode_class[256];
};

bool needs_escape(uint8_t c) {
  return c == NGRAM_ESCAPE || (c >= 0x80 && c <= 0xB2) || (c >= 0xCE && c <= 0xFC);
}

NgramTables build_ngram_tables() {
  NgramTables t{};
  for (unsigned e = 0; e < 51; ++e) {
    const auto* b = reinterpret_cast<const uint8_t*>(BIGRAMS[e]);
    t.bigram_code[b[0] * 256 + b[1]] = static_cast<uint8_t>(FIRST_BIGRAM + e);
  }

  t.trigram_candidates['e'] = {0, 6};
  t.trigram_candidates['h'] = {6, 3};
  t.trigram_candidates['i'] = {9, 5};
  t.trigram_candidates['o'] = {14, 4};
  const char* single_trigrams = "tgafruvwmjp";
  for (unsigned i = 0; single_trigrams[i]; ++i)
    t.trigram_candidates[static_cast<uint8_t>(single_trigrams[i])] = {static_cast<uint8_t>(18 + i), 1};

  t.word_candidates['c'] = {9, 2};
  t.word_candidates['w'] = {11, 3};
  t.word_candidates['t'] = {14, 4};
  const char* single_words = "abishnorf";
  for (unsigned i = 0; single_words[i]; ++i)
    t.word_candidates[static_cast<uint8_t>(single_words[i])] = {static_cast<uint8_t>(i), 1};

  t.decode_class[NGRAM_ESCAPE] = ESCAPED;
  for (unsigned c = 0x80; c <= 0xB2; ++c) t.decode_class[c] = BIGRAM;
  for (unsigned c = 0xCE; c <= 0xDF; ++c) t.decode_class[c] = WORD;
  for (unsigned c = 0xE0; c <= 0xFC; ++c) t.decode_class[c] = TRIGRAM;
  return t;
}

const NgramTables& ngram_tables() {
  static const NgramTables tables = build_ngram_tables();
  return tables;
}

void escape_code_bytes(uint8_t* work, uint32_t& length) {
  BoundedWriter out(work, length);
  for (uint32_t i = 0; i < length; ++i) {
    if (needs_escape(work[i])) out.put(NGRAM_ESCAPE);
    out.put(work[i]);
  }
  out.move_to_front(length);
}

// One greedy pass for groups of `size` letters; it only shrinks the block,
// so it writes in place.
template <uint32_t size>
void substitute_groups(uint8_t* work, uint32_t& length, const Candidates* candidates,
                       const char* const* table, uint8_t first_code) {
  const uint32_t n = length;
  uint32_t i = 0;
  uint32_t out = 0;
  while (i + size <= n) {
    const Candidates c = candidates[work[i]];
    bool matched = false;
    for (uint32_t e = c.first; e < uint32_t{c.first} + c.count; ++e) {
      if (std::memcmp(work + i, table[e], size) == 0) {
        work[out++] = static_cast<uint8_t>(first_code + e);
        i += size;
        matched = true;
        break;
      }
    }
    if (!matched) work[out++] = work[i++];
  }
  while (i < n) work[out++] = work[i++];
  length = out;
}

void substitute_bigrams(uint8_t* work, uint32_t& length, const uint8_t* bigram_code) {
  const uint32_t n = length;
  uint32_t i = 0;
  uint32_t out = 0;
  while (i + 1 < n) {
    const uint8_t code = bigram_code[work[i] * 256 + work[i + 1]];
    if (code != 0) {
      work[out++] = code;
      i += 2;
    } else {
      work[out++] = work[i++];
    }
  }
  if (i < n) work[out++] = work[i];
  length = out;
}

void put_letters(BoundedWriter& out, const char* letters) {
  for (; *letters; ++letters) out.put(static_cast<uint8_t>(*letters));
}

}  // namespace

void substitute_ngrams(uint8_t* work, uint32_t& length) {
  const NgramTables& t = ngram_tables();
  escape_code_bytes(work, length);
  substitute_groups<4>(work, length, t.word_candidates, WORDS, FIRST_WORD);
  substitute_groups<3>(work, length, t.trigram_candidates, TRIGRAMS, FIRST_TRIGRAM);
  substitute_bigrams(work, length, t.bigram_code);
}

void expand_ngrams(uint8_t* work, uint32_t& length) {
  const NgramTables& t = ngram_tables();
  const uint32_t n = length;
  BoundedWriter out(work, n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t c = work[i];
    switch (t.decode_class[c]) {
      case BIGRAM: put_letters(out, BIGRAMS[c - FIRST_BIGRAM]); break;
      case TRIGRAM: put_letters(out, TRIGRAMS[c - FIRST_TRIGRAM]); break;
      case WORD: put_letters(out, WORDS[c - FIRST_WORD]); break;
      case ESCAPED:
        if (i + 1 < n) out.put(work[++i]);  // a lone escape at the end is dropped
        break;
      default: out.put(c); break;
    }
  }
  out.move_to_front(length);
}

}  // namespace tarn
