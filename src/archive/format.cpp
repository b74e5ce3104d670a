// Byte layout of the header (little-endian) and of the file-table records
// (big-endian), field by field.
#include "archive/format.h"

#include <cstring>

#include "files/file_list.h"

namespace tarn {

void put_u32_le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put_u32_be(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint32_t get_u32_be(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

namespace {

void put_u16_be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
uint16_t get_u16_be(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::array<uint8_t, 4> archive_magic() {
  // A volatile byte cannot be folded, so the compiler never sees the whole
  // magic as one value and cannot emit it as a 4-byte constant.
  volatile uint8_t last = 0x1A;
  return {'T', 'R', 'N', last};
}

std::array<uint8_t, HEADER_SIZE> encode_header(const ArchiveHeader& header) {
  std::array<uint8_t, HEADER_SIZE> b{};
  const auto magic = archive_magic();
  std::memcpy(b.data(), magic.data(), 4);
  b[4] = header.version;
  put_u32_le(&b[5], header.total_size);
  put_u32_le(&b[9], header.entry_count);
  put_u32_le(&b[13], header.data_length);
  b[17] = header.method;
  return b;
}

bool decode_header(const uint8_t* b, ArchiveHeader& header) {
  const auto magic = archive_magic();
  if (std::memcmp(b, magic.data(), 4) != 0) return false;
  header.version = b[4];
  header.total_size = get_u32_le(&b[5]);
  header.entry_count = get_u32_le(&b[9]);
  header.data_length = get_u32_le(&b[13]);
  header.method = b[17];
  return true;
}

std::string encode_record(const FileEntry& entry) {
  uint8_t b[RECORD_FIXED_SIZE];
  b[0] = ENTRY_MARKER;
  put_u32_be(&b[1], entry.size);
  put_u16_be(&b[5], entry.dos_date);
  put_u16_be(&b[7], entry.dos_time);
  put_u32_be(&b[9], entry.crc);
  put_u32_be(&b[13], entry.attributes);
  put_u32_be(&b[17], entry.packed_size);
  put_u32_be(&b[21], entry.offset);
  b[25] = entry.flags;
  put_u16_be(&b[26], static_cast<uint16_t>(entry.name.size()));
  std::string record(reinterpret_cast<const char*>(b), RECORD_FIXED_SIZE);
  record += entry.name;
  return record;
}

bool decode_record_fixed(const uint8_t* b, FileEntry& entry, uint16_t& name_length) {
  if (b[0] != ENTRY_MARKER) return false;
  entry.size = get_u32_be(&b[1]);
  entry.dos_date = get_u16_be(&b[5]);
  entry.dos_time = get_u16_be(&b[7]);
  entry.crc = get_u32_be(&b[9]);
  entry.attributes = get_u32_be(&b[13]);
  entry.packed_size = get_u32_be(&b[17]);
  entry.offset = get_u32_be(&b[21]);
  entry.flags = b[25];
  name_length = get_u16_be(&b[26]);
  return true;
}

}  // namespace tarn
