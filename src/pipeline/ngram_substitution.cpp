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
// The groups are distinct, so at most one can match a position: the
// four-letter and trigram passes look the position's letters up in a small
// collision-free hash table, the bigram pass in a 64 KiB map. One lookup per
// position and a branch that is rarely taken keep the passes fast. The
// tables are constants, built once.

#include "common/byte_order.h"
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

// The groups of one length in a small open table: a group's letters as a
// little-endian word, multiplied and shifted, give its slot, and the
// multiplier is chosen when the table is built so that no two groups share
// one. A position then costs one lookup whatever its first letter.
struct GroupSlot {
  uint32_t letters = 0;
  uint8_t code = 0;  // 0: empty
};

constexpr unsigned GROUP_SLOT_BITS = 9;

struct GroupTable {
  uint32_t multiplier = 0;
  GroupSlot slots[1u << GROUP_SLOT_BITS];

  static unsigned slot_of(uint32_t letters, uint32_t multiplier) {
    return (letters * multiplier) >> (32 - GROUP_SLOT_BITS);
  }
  // The code of the group whose letters these are, or 0.
  uint8_t find(uint32_t letters) const {
    const GroupSlot& s = slots[slot_of(letters, multiplier)];
    return s.letters == letters ? s.code : 0;
  }
};

struct NgramTables {
  uint8_t bigram_code[65536];
  uint8_t expanded_size[256];  // for expanded_ngram_bound, and the expansion's step
  uint32_t expansion[256];     // what a byte expands to, little-endian, in its first expanded_size bytes
  GroupTable trigrams;
  GroupTable words;
  bool needs_escape[256];
  uint8_t decode_class[256];
};

// The key of a group: its letters loaded as substitute_groups loads them.
uint32_t letters_of(const char* group, unsigned size) {
  const auto* letters = reinterpret_cast<const uint8_t*>(group);
  return size == 4 ? load_le32(letters) : load_le24(letters);
}

GroupTable build_group_table(const char* const* groups, unsigned count, unsigned size, uint8_t first_code) {
  GroupTable t;
  for (uint32_t multiplier = 0x9E3779B1u;; multiplier += 2) {
    bool taken[1u << GROUP_SLOT_BITS] = {};
    bool clash = false;
    for (unsigned e = 0; e < count && !clash; ++e) {
      const unsigned slot = GroupTable::slot_of(letters_of(groups[e], size), multiplier);
      clash = taken[slot];
      taken[slot] = true;
    }
    if (!clash) {
      t.multiplier = multiplier;
      break;
    }
  }
  for (unsigned e = 0; e < count; ++e) {
    const uint32_t letters = letters_of(groups[e], size);
    t.slots[GroupTable::slot_of(letters, t.multiplier)] = {letters, static_cast<uint8_t>(first_code + e)};
  }
  return t;
}

NgramTables build_ngram_tables() {
  NgramTables t{};
  for (unsigned e = 0; e < 51; ++e) {
    const auto* b = reinterpret_cast<const uint8_t*>(BIGRAMS[e]);
    t.bigram_code[b[0] * 256 + b[1]] = static_cast<uint8_t>(FIRST_BIGRAM + e);
  }

  t.trigrams = build_group_table(TRIGRAMS, 29, 3, FIRST_TRIGRAM);
  t.words = build_group_table(WORDS, 18, 4, FIRST_WORD);
  for (unsigned c = 0; c < 256; ++c)
    t.needs_escape[c] = c == NGRAM_ESCAPE || (c >= 0x80 && c <= 0xB2) || (c >= 0xCE && c <= 0xFC);

  t.decode_class[NGRAM_ESCAPE] = ESCAPED;
  for (unsigned c = 0x80; c <= 0xB2; ++c) t.decode_class[c] = BIGRAM;
  for (unsigned c = 0xCE; c <= 0xDF; ++c) t.decode_class[c] = WORD;
  for (unsigned c = 0xE0; c <= 0xFC; ++c) t.decode_class[c] = TRIGRAM;
  for (unsigned c = 0; c < 256; ++c) {
    switch (t.decode_class[c]) {
      case BIGRAM: t.expanded_size[c] = 2; break;
      case TRIGRAM: t.expanded_size[c] = 3; break;
      case WORD: t.expanded_size[c] = 4; break;
      default: t.expanded_size[c] = 1; break;  // a literal, or an escape (for the byte after it)
    }
    const char* letters = t.decode_class[c] == BIGRAM    ? BIGRAMS[c - FIRST_BIGRAM]
                          : t.decode_class[c] == TRIGRAM ? TRIGRAMS[c - FIRST_TRIGRAM]
                          : t.decode_class[c] == WORD    ? WORDS[c - FIRST_WORD]
                                                         : nullptr;
    t.expansion[c] = letters != nullptr ? letters_of(letters, t.expanded_size[c]) : c;
  }
  return t;
}

const NgramTables& ngram_tables() {
  static const NgramTables tables = build_ngram_tables();
  return tables;
}

// One greedy pass for groups of `size` letters; it only shrinks the block,
// so it writes in place. While four bytes remain a trigram's key is the low
// three bytes of a four-byte load; the table's multiplier and slots are held
// apart from the block's bytes, which every store might overwrite for all
// the compiler knows.
template <uint32_t size>
void substitute_groups(uint8_t* work, uint32_t& length, const GroupTable& groups) {
  static_assert(size == 3 || size == 4);
  const uint32_t multiplier = groups.multiplier;
  const GroupSlot* const slots = groups.slots;
  const uint8_t* in = work;
  const uint8_t* const end = work + length;
  uint8_t* out = work;
  auto step = [&](uint32_t letters) {  // the low byte of the key is the byte at `in`
    const GroupSlot& slot = slots[GroupTable::slot_of(letters, multiplier)];
    const uint8_t code = slot.letters == letters ? slot.code : 0;
    if (code != 0) {
      *out++ = code;
      in += size;
    } else {
      *out++ = static_cast<uint8_t>(letters);
      ++in;
    }
  };
  if (length >= 4) {
    const uint8_t* const last4 = end - 4;  // the last position with four bytes
    while (in <= last4) step(size == 4 ? load_le32(in) : load_le32(in) & 0xFFFFFFu);
  }
  if constexpr (size == 3) {
    while (end - in >= 3) step(load_le24(in));
  }
  while (in < end) *out++ = *in++;
  length = static_cast<uint32_t>(out - work);
}

void substitute_bigrams(uint8_t* work, uint32_t& length, const uint8_t* bigram_code) {
  const uint8_t* in = work;
  const uint8_t* const end = work + length;
  uint8_t* out = work;
  if (length >= 2) {
    const uint8_t* const last2 = end - 2;
    while (in <= last2) {
      const uint8_t first = in[0];
      const uint8_t code = bigram_code[first * 256 + in[1]];
      if (code != 0) {
        *out++ = code;
        in += 2;
      } else {
        *out++ = first;
        ++in;
      }
    }
  }
  if (in < end) *out++ = *in;
  length = static_cast<uint32_t>(out - work);
}

void put_letters(BoundedWriter& out, const char* letters) {
  for (; *letters; ++letters) out.put(static_cast<uint8_t>(*letters));
}

}  // namespace

void substitute_ngrams(uint8_t* work, uint32_t& length) {
  const NgramTables& t = ngram_tables();
  escape_bytes(work, length, t.needs_escape, NGRAM_ESCAPE);
  substitute_groups<4>(work, length, t.words);
  substitute_groups<3>(work, length, t.trigrams);
  substitute_bigrams(work, length, t.bigram_code);
}

// While four bytes fit behind the output, a byte's expansion is one
// four-byte store and a step by its length; only escapes branch. Near the
// end of the buffer the bytes go one by one, dropping what falls past it.
void expand_ngrams(uint8_t* work, uint32_t& length) {
  const NgramTables& t = ngram_tables();
  const uint32_t n = length;
  BoundedWriter out(work, n);
  uint32_t i = 0;
  for (; i < n; ++i) {
    const uint8_t c = work[i];
    if (c == NGRAM_ESCAPE) {
      if (i + 1 < n) out.put(work[++i]);  // a lone escape at the end is dropped
      continue;
    }
    uint8_t* span = out.reserve(4);
    if (span == nullptr) break;
    store_le32(span, t.expansion[c]);
    out.unreserve(4u - t.expanded_size[c]);
  }
  for (; i < n; ++i) {
    const uint8_t c = work[i];
    switch (t.decode_class[c]) {
      case BIGRAM: put_letters(out, BIGRAMS[c - FIRST_BIGRAM]); break;
      case TRIGRAM: put_letters(out, TRIGRAMS[c - FIRST_TRIGRAM]); break;
      case WORD: put_letters(out, WORDS[c - FIRST_WORD]); break;
      case ESCAPED:
        if (i + 1 < n) out.put(work[++i]);
        break;
      default: out.put(c); break;
    }
  }
  out.move_to_front(length);
}

uint32_t expanded_ngram_bound(const uint8_t* work, uint32_t length) {
  const uint8_t* size = ngram_tables().expanded_size;
  uint32_t total = 0;
  for (uint32_t i = 0; i < length; ++i) total += size[work[i]];
  return total;
}

}  // namespace tarn
