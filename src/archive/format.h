// The archive file format: constants, the header, the file-table record and
// the per-method model parameters.
//
// An archive is: an optional self-extractor stub, the 18-byte header
// (little-endian fields), the data area with the packed pieces, the CRC-32 of
// the file table (4 bytes, little-endian) and the file table, one record per
// entry (big-endian fields, then the name). Readers find the header by
// searching for its magic "TRN" 0x1A within the first MAGIC_SEARCH_LIMIT
// bytes; the table lies at header position + 18 + data_length + 4.
//
// The table is divided into groups: a record without FLAG_SOLID_CONTINUATION
// starts a group and the following records with the flag belong to it. A
// group's piece (at the head's offset) is either its chunk streams or, with
// FLAG_STORED, its bytes unchanged; members after the head record their
// position inside the group's byte sequence in `offset`.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/format_constants.h"

namespace tarn {

// The magic "TRN" 0x1A. It is assembled at run time (see format.cpp), never
// kept as one constant: a self-extracting archive's stub is built from this
// library and must not hold the four bytes anywhere, or readers would take
// the stub for the archive.
std::array<uint8_t, 4> archive_magic();
inline constexpr uint8_t ARCHIVE_VERSION = 0x75;
inline constexpr uint8_t ENTRY_MARKER = 0x1B;
inline constexpr uint32_t HEADER_SIZE = 18;
inline constexpr uint32_t RECORD_FIXED_SIZE = 28;
inline constexpr uint32_t MAGIC_SEARCH_LIMIT = 555000;
// Bytes that must follow the magic within the searched part of the file.
inline constexpr uint32_t MIN_BYTES_AFTER_MAGIC = 22;

inline constexpr uint32_t SOLID_FILE_LIMIT = 1600000;
inline constexpr uint32_t SOLID_GROUP_LIMIT = 4188160;
inline constexpr uint32_t COPY_PIECE = 262144;
inline constexpr uint64_t TOTAL_SIZE_LIMIT = 2128609280;
inline constexpr uint32_t STORE_MARGIN = 10;
inline constexpr uint32_t ANALYSIS_SAMPLE = 131072;
inline constexpr uint32_t SFX_STUB_LIMIT = 524288;
inline constexpr size_t ARCHIVE_BUFFER_SIZE = 256 * 1024;
inline constexpr const char* SFX_STUB_NAME = "tarn32.sfx";

struct ArchiveHeader {
  uint8_t version = ARCHIVE_VERSION;
  uint32_t total_size = 0;
  uint32_t entry_count = 0;
  uint32_t data_length = 0;
  uint8_t method = 0;
};

std::array<uint8_t, HEADER_SIZE> encode_header(const ArchiveHeader& header);
// False when the bytes do not start with the magic.
bool decode_header(const uint8_t* bytes, ArchiveHeader& header);

// The table's groups: a record without FLAG_SOLID_CONTINUATION starts a
// group and the records with the flag that follow it belong to it (the
// first record starts one whatever its flags). A group of one is a single
// file. `flags_at(i)` gives the flags of record i of n.
struct EntryGroup {
  size_t first = 0;
  size_t count = 0;
};
template <typename FlagsAt>
std::vector<EntryGroup> split_into_groups(size_t n, FlagsAt flags_at) {
  std::vector<EntryGroup> groups;
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || (flags_at(i) & FLAG_SOLID_CONTINUATION) == 0) groups.push_back({i, 0});
    ++groups.back().count;
  }
  return groups;
}

struct FileEntry;
// The whole record of an entry: fixed part, then the name.
std::string encode_record(const FileEntry& entry);
// Decodes the fixed part; false when the marker is wrong. The name length
// is returned in `name_length`.
bool decode_record_fixed(const uint8_t* bytes, FileEntry& entry, uint16_t& name_length);

}  // namespace tarn
