// The steps of the block filters, exposed for unit tests and for the
// solid-group analysis. Each works on the block work buffer of
// WORK_BUFFER_SIZE bytes with the block at its front, unless it takes a
// plain byte range.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"

namespace tarn {

// Appends a pass's output behind its input in the work buffer. Bytes that
// would fall past the end of the buffer are dropped: only corrupt coded
// blocks get there, and they may restore to wrong bytes but never write
// outside the buffer.
class BoundedWriter {
 public:
  BoundedWriter(uint8_t* work, uint32_t start) : work_(work), start_(start), pos_(start) {}
  void put(uint8_t byte) {
    if (pos_ < WORK_BUFFER_SIZE) work_[pos_] = byte;
    ++pos_;
  }
  // `count` bytes from outside the output, as put() would write them one by one.
  void put_span(const uint8_t* bytes, uint32_t count) {
    if (pos_ < WORK_BUFFER_SIZE) {
      const uint32_t room = WORK_BUFFER_SIZE - pos_;
      std::memcpy(work_ + pos_, bytes, count < room ? count : room);
    }
    pos_ += count;
  }
  // Room for `count` more bytes as one contiguous span, or nullptr.
  uint8_t* reserve(uint32_t count) {
    if (pos_ > WORK_BUFFER_SIZE || WORK_BUFFER_SIZE - pos_ < count) return nullptr;
    uint8_t* span = work_ + pos_;
    pos_ += count;
    return span;
  }
  // Gives back the unused tail of the last reserve().
  void unreserve(uint32_t count) { pos_ -= count; }
  uint32_t written() const { return (pos_ < WORK_BUFFER_SIZE ? pos_ : WORK_BUFFER_SIZE) - start_; }
  // Moves the output to the front of the buffer; it becomes the block.
  void move_to_front(uint32_t& length) const { move_to(work_, length); }
  // Moves the output to `dest` (inside the buffer) and gives its length.
  void move_to(uint8_t* dest, uint32_t& length) const {
    length = written();
    std::memmove(dest, work_ + start_, length);
  }

 private:
  uint8_t* work_;
  uint32_t start_;
  uint32_t pos_;
};

// The first position in [from, end) whose byte has its flag set, or `end`;
// eight table lookups to a branch while eight bytes remain.
inline uint32_t first_flagged(const uint8_t* bytes, uint32_t from, uint32_t end, const bool* flags) {
  while (end - from >= 8) {
    const uint8_t* p = bytes + from;
    if (flags[p[0]] | flags[p[1]] | flags[p[2]] | flags[p[3]] | flags[p[4]] | flags[p[5]] | flags[p[6]] | flags[p[7]])
      break;
    from += 8;
  }
  while (from < end && !flags[bytes[from]]) ++from;
  return from;
}

// Writes `escape` before every byte for which needs_escape is true. Bytes
// before the first such byte stay where they are, so a block without any
// costs one scan; the result, truncation at the end of the buffer included,
// is that of writing the whole block behind itself.
inline void escape_bytes(uint8_t* work, uint32_t& length, const bool* needs_escape, uint8_t escape) {
  uint32_t first = first_flagged(work, 0, length, needs_escape);
  if (length + first > WORK_BUFFER_SIZE) {
    first = 0;  // the block does not fit behind itself: cut as the whole pass would
  } else if (first == length) {
    return;
  }
  // Started `first` bytes further on, the writer has the room it would
  // have had for the whole block.
  BoundedWriter out(work, length + first);
  for (uint32_t i = first; i < length; ++i) {
    if (needs_escape[work[i]]) out.put(escape);
    out.put(work[i]);
  }
  uint32_t tail = 0;
  out.move_to(work + first, tail);
  length = first + tail;
}

// ---- Text filter -------------------------------------------------------

// Character set of a block: 0 = not text, 1 = Latin, 2 = Cyrillic in code
// page 866, 3 = Cyrillic in code page 1251.
int detect_text_charset(const uint8_t* block, uint32_t n);
int detect_text_charset(const ByteCounts& counts, uint32_t n);

// The 256 flags of the word delimiters.
using DelimiterTable = std::array<bool, 256>;
constexpr DelimiterTable build_delimiter_table() {
  DelimiterTable table{};
  constexpr char kDelimiters[] = "\t\r\n',.\";:!?() +=*/<>{}[]%-";
  for (unsigned i = 0; i + 1 < sizeof(kDelimiters); ++i)
    table[static_cast<uint8_t>(kDelimiters[i])] = true;
  return table;
}
inline constexpr DelimiterTable TEXT_DELIMITERS = build_delimiter_table();

// Inserts a space after line breaks unless the text already tends to have
// one there; returns whether it did.
bool apply_line_break_spacing(uint8_t* work, uint32_t& length);
// Escapes 0x01..0x03 and lowers capitalised and all-capital words.
void fold_case_and_escape(uint8_t* work, uint32_t& length, int charset);
// Writes the coded form of one word to `out` and returns its length
// (at most m + 1 bytes).
uint32_t encode_word(const uint8_t* word, uint32_t m, int charset, uint8_t* out);
void remove_line_break_spacing(uint8_t* work, uint32_t& length);
void restore_case_and_escapes(uint8_t* work, uint32_t& length, int charset);

// ---- Text n-gram dictionary ---------------------------------------------

void substitute_ngrams(uint8_t* work, uint32_t& length);
void expand_ngrams(uint8_t* work, uint32_t& length);
// At least the length expand_ngrams gives the block: every code counts its
// letters, any other byte one (an escape stands in for the byte it escapes,
// which may be a code).
uint32_t expanded_ngram_bound(const uint8_t* work, uint32_t length);

// ---- x86 filter -----------------------------------------------------------

bool detect_x86_code(const uint8_t* block, uint32_t n);
bool detect_x86_code(const uint8_t* block, uint32_t n, const ByteCounts& counts);
enum class X86Direction { ENCODE, DECODE };
// Walks the m bytes at the front of `work`, writing its output behind them,
// and moves the first m output bytes to the front.
void walk_x86_block(uint8_t* work, uint32_t m, uint32_t stream_position, X86Direction direction);

// ---- Stride and multimedia filters ----------------------------------------

// The sum of |x[i] - x[i-d]| over i = d..n-1 for every distance d in 1..16
// (entry 0, and the distances of n and more, are 0).
using StrideSums = std::array<uint64_t, 17>;
void stride_distance_sums(const uint8_t* block, uint32_t n, StrideSums& sums);
// Stride parameter (stride minus 1, or 0 for none): the distance of the
// smallest sum, the smaller on equal sums, if it is 40 % below distance 1's.
uint32_t detect_stride(const uint8_t* block, uint32_t n);
void transpose_by_stride(uint8_t* work, uint32_t n, uint32_t parameter);
void untranspose_by_stride(uint8_t* work, uint32_t n, uint32_t parameter);
// Decides the multimedia model (0, 1, 2) of the block at the front of
// `work` and applies it; for models 1 and 2 the rounded residual estimate
// stays behind it (for model 0 the bytes behind it are scratch). With one
// channel, *plain_cost8 (if given) receives the block's 8-entry
// move-to-front cost, measured in the same pass as its 16-entry cost.
uint32_t select_mm_model(uint8_t* work, uint32_t n, uint32_t stride_parameter, SortScratch& scratch,
                         double* plain_cost8 = nullptr);
inline uint32_t select_mm_model(uint8_t* work, uint32_t n, uint32_t stride_parameter) {
  SortScratch scratch;
  return select_mm_model(work, n, stride_parameter, scratch);
}
// Whether a residual whose first bytes have the sums `made`, with `left`
// bytes still to come, is bound to cost more than `block_cost`, whatever
// those bytes are.
bool residual_costs_more(const MtfSums& made, uint32_t left, double block_cost);
// The adaptive three-tap predictor's residual of in[0..n) into out[0..n)
// (out may equal in).
void lms_residual(const uint8_t* in, uint8_t* out, uint32_t n, bool rounded);
// The lanes the residual's full periods go through: the widest the
// processor has, or 128 bits (16 bits where vectors are missing). Every
// width gives the same residual.
enum class LmsLanes { widest, narrow };
void lms_residual(const uint8_t* in, uint8_t* out, uint32_t n, bool rounded, LmsLanes lanes);
void lms_restore(uint8_t* block, uint32_t n);
void delta_encode(uint8_t* block, uint32_t n);
void delta_decode(uint8_t* block, uint32_t n);

}  // namespace tarn
