// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement (check value over "123456789": 0xCBF43926).
//
// One Crc32 object is one running checksum: begin, feed bytes, read the
// value. The archive uses it for every file's contents, every member of a
// solid group and the whole file table. It takes eight bytes per step
// through eight 256-entry tables (see crc32.cpp), built once, on first use,
// and never changed; long inputs are folded 64 bytes per step where the
// processor multiplies without carries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

class Crc32 {
 public:
  void begin() { state_ = 0xFFFFFFFFu; }
  void update(const uint8_t* bytes, size_t count);
  uint32_t value() const { return ~state_; }

 private:
  uint32_t state_ = 0xFFFFFFFFu;
};

uint32_t crc32_of(const uint8_t* bytes, size_t count);

}  // namespace tarn
