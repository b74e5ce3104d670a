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
// position and a branch that is rarely taken keep the group passes fast;
// pairs start at a quarter of the positions of text, too often for a branch,
// so the bigram pass finds the pairs it takes 64 positions at a time from a
// bit mask. The tables are constants, built once.

#include <bit>
#include <cstring>

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
  uint8_t bigram_code[65536];  // by the pair's two bytes as a little-endian 16-bit load
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
    t.bigram_code[load_le16(b)] = static_cast<uint8_t>(FIRST_BIGRAM + e);
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

// Bit k set for every nonzero byte k of eight, the first byte in bit 0.
unsigned nonzero_bytes(uint64_t v) {
  constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t high = (((v & LOW7) + LOW7) | v) & ~LOW7;
  return static_cast<unsigned>(((high >> 7) * 0x0102040810204080ull) >> 56);
}

// The pairs a greedy left-to-right walk takes among the positions where a
// pair starts (`starts`, position 0 in bit 0, free to start): in each run of
// adjacent starts, the first, third, fifth... Adding a run's lowest bit to
// the run clears it, so the runs that begin on an even bit are those the sum
// clears.
uint64_t greedy_pairs(uint64_t starts) {
  constexpr uint64_t EVEN = 0x5555555555555555ull;
  const uint64_t firsts = starts & ~(starts << 1);
  const uint64_t in_even_runs = starts & ~(starts + (firsts & EVEN));
  return (in_even_runs & EVEN) | (starts & ~in_even_runs & ~EVEN);
}

// Copies the `count` bytes at `from` down to `to`, which lies at least 16
// bytes before it, in 16-byte steps: it reads up to 15 bytes past
// from + count and writes them after to + count, still below from + count.
void copy_down(uint8_t* to, const uint8_t* from, uint32_t count) {
  for (uint32_t done = 0; done < count; done += 16) std::memcpy(to + done, from + done, 16);
}

// The greedy pass over pairs, in place like the group passes. Near the
// block's ends a branch per position takes or leaves each pair. In between,
// once the pass has dropped 16 bytes (so that 16-byte copies never reach
// bytes still to be read), it goes 64 positions at a time: their codes into
// an array, the pairs the walk takes found from the bit mask of starts, and
// the bytes from the end of one taken pair to the start of the next moved
// down as one run, the run's last byte replaced by its code. A pair may
// reach into the next 64 positions; the next step begins behind it.
void substitute_bigrams(uint8_t* work, uint32_t& length, const uint8_t* bigram_code) {
  constexpr uint32_t SLACK = 16;
  constexpr uint32_t STEP = 64;
  const uint32_t n = length;
  uint32_t in = 0;
  uint32_t out = 0;
  auto step = [&] {
    const uint8_t code = bigram_code[load_le16(work + in)];
    if (code != 0) {
      work[out++] = code;
      in += 2;
    } else {
      work[out++] = work[in++];
    }
  };
  while (n - in >= 2 && in - out < SLACK) step();
  if (in - out >= SLACK && n >= STEP + SLACK && in <= n - (STEP + SLACK)) {
    uint8_t codes[STEP];
    uint32_t p = in;  // the first position of the step
    for (; p <= n - (STEP + SLACK); p += STEP) {
      for (uint32_t k = 0; k < STEP; ++k) codes[k] = bigram_code[load_le16(work + p + k)];
      uint64_t starts = 0;
      for (uint32_t k = 0; k < STEP; k += 8) starts |= static_cast<uint64_t>(nonzero_bytes(load_le64(codes + k))) << k;
      if (in > p) starts &= ~uint64_t{1};  // the second letter of the last pair taken
      for (uint64_t taken = greedy_pairs(starts); taken != 0; taken &= taken - 1) {
        const uint32_t k = static_cast<uint32_t>(std::countr_zero(taken));
        const uint32_t count = p + k + 1 - in;
        copy_down(work + out, work + in, count);
        out += count;
        work[out - 1] = codes[k];
        in = p + k + 2;
      }
    }
    if (in < p) {  // the bytes after the last pair taken, all left as they are
      copy_down(work + out, work + in, p - in);
      out += p - in;
      in = p;
    }
  }
  while (n - in >= 2) step();
  if (in < n) work[out++] = work[in];
  length = out;
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
