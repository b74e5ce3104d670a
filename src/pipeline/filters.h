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

namespace tarn {

// Work space of the order-2 context sort behind the cost measures. A stream
// keeps one, so that measuring a block allocates nothing after the first.
struct SortScratch {
  std::vector<uint32_t> bucket_start;
  std::vector<uint8_t> sorted;
};

// x86 code: E8/E9 targets made absolute with the stream position, other
// fields stored most significant byte first. Returns 0x20 or 0.
uint8_t try_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position);
void undo_exe_filter(uint8_t* work, uint32_t& length, uint32_t stream_position);

// Text in three character sets, with case folding and, for Latin text, the
// n-gram dictionary. Returns 0x10..0x1A or 0.
uint8_t try_text_filter(uint8_t* work, uint32_t& length);
void undo_text_filter(uint8_t* work, uint32_t& length, uint8_t block_type);

// Stride transposition and the multimedia models. Returns 0x31..0x5F or 0.
// For a result of high nibble 5 the two bytes behind the block are the first
// two bytes of the rounded residual estimate.
uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed, SortScratch& scratch);
uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed);
void undo_stride_and_mm_filters(uint8_t* work, uint32_t& length, uint8_t block_type);

// Returns 0x60 when the block looks random, else 0. Never changes the block.
uint8_t test_low_redundancy(const uint8_t* block, uint32_t length, SortScratch& scratch);
uint8_t test_low_redundancy(const uint8_t* block, uint32_t length);

// Move-to-front cost measures: average list position of the coded bytes
// (repeats of the previous byte excluded, their count returned in *repeats).
double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats = nullptr);
double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats = nullptr);
using CostMeasure = double (*)(const uint8_t*, uint32_t, uint32_t*);
// The cost of the bytes sorted by their two preceding bytes, read cyclically.
// The forms without a SortScratch use a temporary one.
double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure,
                           SortScratch& scratch);
double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure);

}  // namespace tarn
