// Long-repeat prepass: the whole-buffer stage in front of the block coders.
//
// At every position the 8 bytes before it are hashed into a 65,536-entry
// table that remembers where that context was last seen. If the bytes from
// there repeat for at least 56 bytes, the prepass keeps the first 56 bytes of
// the repetition unchanged and replaces the rest by a length code (1, 3 or 6
// bytes); the positions inside the repetition make no table entries. There
// is no flag: the decoder runs the same hash table over the bytes it has
// restored, and a repetition announces itself by its 56 bytes agreeing with
// the decoder's own prediction. That works because a length code only ever
// follows 56 unchanged bytes, so at every position the decoder compares the
// very bytes the encoder compared.
//
// The transformed buffer is used only when it pays: when long repetitions
// (500 bytes and more, those beyond 20,000 counting ten times) outnumber the
// medium ones three to one, or when it shrank below a third. A small header
// in the range-coded stream (plain length, the applied bit, the transformed
// length) tells the decoder how many bytes the blocks decode to.
#pragma once

#include <cstdint>
#include <vector>

#include "coder/range_coder.h"

namespace tarn {

// The prepass header of a chunk stream.
struct PrepassHeader {
  uint32_t plain_length = 0;
  bool applied = false;
  uint32_t coded_length = 0;  // what the blocks decode to: the prepass output, or plain_length
};

class LongRepeat {
 public:
  static constexpr uint32_t MIN_BUFFER = 8192;
  static constexpr uint32_t MIN_REPEAT = 56;
  static constexpr uint32_t TABLE_SIZE = 65536;
  static constexpr uint32_t RESTORE_SLACK = 65536;
  static constexpr uint32_t MAX_LENGTH_CODE = 6;

  // Hash of the 8 bytes before position p (p >= 8).
  static uint32_t context_hash(const uint8_t* data, uint32_t p);

  // Appends the length code of v (repetition length - 56) at out[pos], advancing pos.
  static void write_length_code(uint8_t* out, uint32_t& pos, uint32_t v);
  // The number of bytes write_length_code writes for v.
  static uint32_t length_code_size(uint32_t v);
  // Reads a length code at data[pos] (bytes at or past `size` read as 0), advancing pos.
  static uint32_t read_length_code(const uint8_t* data, uint32_t size, uint32_t& pos);

  static void encode_u24(RangeEncoder& coder, uint32_t value);
  // Raises HEADER_DAMAGE when a part lies outside its field.
  static uint32_t decode_u24(RangeDecoder& coder);

  // Packing: transforms `buffer` in place (it may shrink or be swapped for
  // the transformed copy); header() then tells what goes into the stream.
  void long_repeat_encode(std::vector<uint8_t>& buffer);
  // The header of the last long_repeat_encode.
  PrepassHeader header() const { return {plain_length_, prepass_applied_ != 0, coded_length_}; }
  static void write_prepass_header(RangeEncoder& coder, const PrepassHeader& header);

  // Unpacking: the header read yields coded_length, the number of bytes the
  // blocks decode to.
  static PrepassHeader read_header(RangeDecoder& coder);
  // `buffer` holds the coded_length decoded bytes (and may be longer);
  // afterwards it holds exactly the restored plain_length bytes, which are
  // also returned.
  uint32_t long_repeat_decode(std::vector<uint8_t>& buffer, const PrepassHeader& header);

  // The repetition counts behind the last long_repeat_encode's decision:
  // of the whole buffer, or of the part scanned when the scan stopped
  // because the rest could no longer make the prepass apply.
  uint32_t medium() const { return medium_; }
  uint32_t long_score() const { return long_score_; }
  // The repetitions counted are those that start before this position: the
  // buffer's length unless the scan stopped early.
  uint32_t scanned() const { return scanned_; }

 private:
  void clear_table();

  // A repetition the scan found: its position and length.
  struct Repetition {
    uint32_t position;
    uint32_t length;
  };

  // Where the scan is: its position, the first byte not yet output
  // unchanged, and the coded length so far.
  struct ScanPoint {
    uint32_t p;
    uint32_t literal;
    uint32_t coded;
  };
  // Scans from `at` through stretch_end, testing both ends of the
  // MIN_REPEAT bytes first or the first 8 only; returns how many positions
  // agreed with their prediction in their first 8 bytes.
  template <bool BOTH_ENDS>
  uint32_t scan_stretch(const uint8_t* b, uint32_t n, uint32_t stretch_end, ScanPoint& at);
  // Counts and keeps the repetition at p of the bytes at s, which agree in
  // their first MIN_REPEAT bytes; returns its length. Out of the scan's
  // loop, which it would crowd.
  [[gnu::noinline]] uint32_t take_repetition(const uint8_t* b, uint32_t n, uint32_t p, uint32_t s);

  std::vector<uint32_t> table_;
  std::vector<Repetition> repetitions_;  // of the last scan; kept for the next one's room
  uint32_t plain_length_ = 0;
  uint8_t prepass_applied_ = 0;
  uint32_t coded_length_ = 0;
  uint32_t medium_ = 0;
  uint32_t long_score_ = 0;
  uint32_t scanned_ = 0;
};

}  // namespace tarn
