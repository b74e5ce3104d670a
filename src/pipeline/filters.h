// The reversible block filters and the cost measures they share.
//
// Every filter works in place on the block work buffer (WORK_BUFFER_SIZE
// bytes): the block is at the front, `length` bytes long; a filter that
// applies rewrites it (usually by writing its output behind the block and
// moving it to the front), updates `length` and returns the block type; one
// that declines returns 0 and leaves the block as it was. Undo functions get
// the coded block and restore it in place; on corrupt input they stay inside
// the work buffer and produce wrong bytes rather than fail.
#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/block_types.h"

namespace tarn {

// Work space of the order-2 context sort behind the cost measures. A stream
// keeps one, so that measuring a block allocates nothing after the first.
struct SortScratch {
  std::vector<uint32_t> bucket_start;
  std::vector<uint8_t> sorted;
};

void count_bytes(const uint8_t* block, uint32_t n, ByteCounts& counts);

// x86 code: E8/E9 targets made absolute with the stream position, other
// fields stored most significant byte first. Returns BLOCK_EXE or 0.
// `counts` are those of the block as it is passed.
uint8_t try_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position);
uint8_t try_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position, const ByteCounts& counts);
void undo_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position);

// Text in three character sets, with case folding and, for Latin text, the
// n-gram dictionary. Returns a BLOCK_TEXT type (0x10..0x1A) or 0.
uint8_t try_text_filter(uint8_t* work, uint32_t& length);
uint8_t try_text_filter(uint8_t* work, uint32_t& length, const ByteCounts& counts);
void undo_text_filter(uint8_t* work, uint32_t& length, uint8_t block_type);

// Stride transposition and the multimedia models. Returns a BLOCK_STRIDE,
// BLOCK_DELTA or BLOCK_LMS type (0x31..0x5F) or 0. For BLOCK_LMS the two
// bytes behind the block are the first two bytes of the rounded residual
// estimate.
// When the multimedia decision measured the block unchanged and whole and
// left it so, *plain_cost8 receives its 8-entry move-to-front cost (for the
// low-redundancy test); otherwise it is set to -1.
uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed, SortScratch& scratch, double* plain_cost8 = nullptr);
uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed);
void undo_stride_and_mm_filters(uint8_t* work, uint32_t& length, uint8_t block_type);

// Returns BLOCK_LOW_REDUNDANCY when the block looks random, else 0. Never
// changes the block.
// plain_cost8, when not negative, is the block's mtf_cost8, already known.
uint8_t test_low_redundancy(const uint8_t* block, uint32_t length, SortScratch& scratch, double plain_cost8 = -1.0);
uint8_t test_low_redundancy(const uint8_t* block, uint32_t length);

// The inverse of the filter that `block_type` names, as decoding applies it
// after the coder; plain and low-redundancy blocks (and types no filter
// makes) stay as they are.
inline void undo_block_filter(uint8_t* work, uint32_t& length, uint8_t block_type, uint32_t stream_position) {
  switch (block_family(block_type)) {
    case BLOCK_TEXT:
      undo_text_filter(work, length, block_type);
      break;
    case BLOCK_EXE:
      undo_exe_filter(work, length, stream_position);
      break;
    case BLOCK_STRIDE:
    case BLOCK_DELTA:
    case BLOCK_LMS:
      undo_stride_and_mm_filters(work, length, block_type);
      break;
    default:
      break;
  }
}

// No inverse filter restores the `length` coded bytes of a block of this
// type to more bytes than this: only the n-gram dictionary of Latin text
// makes a block longer (the x86 walk drops its padding, the others keep the
// length).
uint32_t restored_length_bound(const uint8_t* coded, uint32_t length, uint8_t block_type);

// Move-to-front cost measures: average list position of the coded bytes
// (repeats of the previous byte excluded, their count returned in *repeats).
double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats = nullptr);
double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats = nullptr);
// The sums behind the 16-entry cost of a string measured a part at a
// time: each part starts from the list the bytes before it left, so the
// parts' sums add up to those of the whole string. position_sum8 is the
// 8-entry list's, which moves as the first eight entries do.
struct MtfSums {
  uint64_t position_sum = 0;
  uint64_t position_sum8 = 0;
  uint32_t coded = 0;
  uint32_t repeats = 0;
  void add(const MtfSums& part) {
    position_sum += part.position_sum;
    position_sum8 += part.position_sum8;
    coded += part.coded;
    repeats += part.repeats;
  }
  // As mtf_cost16 and mtf_cost8 give them for the bytes summed.
  double cost16() const { return coded == 0 ? 0.0 : static_cast<double>(position_sum) / static_cast<double>(coded); }
  double cost8() const { return coded == 0 ? 0.0 : static_cast<double>(position_sum8) / static_cast<double>(coded); }
};
// Measures a string a part at a time, in order, each part from the list
// the bytes before it left.
class MtfMeter {
 public:
  explicit MtfMeter(const uint8_t* bytes) : bytes_(bytes) {}
  // The sums of the bytes from the end of the last part measured (the
  // string's start at first) up to `end`.
  MtfSums measure_to(uint32_t end);

 private:
  const uint8_t* bytes_;
  uint32_t measured_ = 0;
  uint8_t list_[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};  // as the bytes measured left it
};
using CostMeasure = double (*)(const uint8_t*, uint32_t, uint32_t*);
// The cost of the bytes sorted by their two preceding bytes, read cyclically.
// The forms without a SortScratch use a temporary one.
double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure,
                           SortScratch& scratch);
double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure);

}  // namespace tarn
