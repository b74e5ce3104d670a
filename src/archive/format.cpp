// Byte layout of the header (little-endian) and of the file-table records
// (big-endian), field by field.
#include "archive/format.h"

#include <cstring>

#include "common/byte_order.h"
#include "files/file_list.h"

namespace tarn {

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
  store_le32(&b[5], header.total_size);
  store_le32(&b[9], header.entry_count);
  store_le32(&b[13], header.data_length);
  b[17] = header.method;
  return b;
}

bool decode_header(const uint8_t* b, ArchiveHeader& header) {
  const auto magic = archive_magic();
  if (std::memcmp(b, magic.data(), 4) != 0) return false;
  header.version = b[4];
  header.total_size = load_le32(&b[5]);
  header.entry_count = load_le32(&b[9]);
  header.data_length = load_le32(&b[13]);
  header.method = b[17];
  return true;
}

std::string encode_record(const FileEntry& entry) {
  uint8_t b[RECORD_FIXED_SIZE];
  b[0] = ENTRY_MARKER;
  store_be32(&b[1], entry.size);
  store_be16(&b[5], entry.dos_date);
  store_be16(&b[7], entry.dos_time);
  store_be32(&b[9], entry.crc);
  store_be32(&b[13], entry.attributes);
  store_be32(&b[17], entry.packed_size);
  store_be32(&b[21], entry.offset);
  b[25] = entry.flags;
  store_be16(&b[26], static_cast<uint16_t>(entry.name.size()));
  std::string record(reinterpret_cast<const char*>(b), RECORD_FIXED_SIZE);
  record += entry.name;
  return record;
}

bool decode_record_fixed(const uint8_t* b, FileEntry& entry, uint16_t& name_length) {
  if (b[0] != ENTRY_MARKER) return false;
  entry.size = load_be32(&b[1]);
  entry.dos_date = load_be16(&b[5]);
  entry.dos_time = load_be16(&b[7]);
  entry.crc = load_be32(&b[9]);
  entry.attributes = load_be32(&b[13]);
  entry.packed_size = load_be32(&b[17]);
  entry.offset = load_be32(&b[21]);
  entry.flags = b[25];
  name_length = load_be16(&b[26]);
  return true;
}

}  // namespace tarn
