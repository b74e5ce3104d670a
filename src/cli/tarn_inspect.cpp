// tarn-inspect ARCHIVE: the structure of an archive, one line per group,
// chunk stream and block, for comparing archives made by different builds.
//
//   archive method=<m> entries=<n> data_length=<n>
//   group <i> offset=<o> packed=<p> size=<bytes in the group> stored=<0|1> members=<k>
//   chunk <j> plain=<n> prepass=<0|1> coded=<n>          (packed groups only)
//   block <k> type=0x<hh> coded=<n> restored=<n>
//
// Errors go to standard error with status 1; standard output then holds
// only the lines printed so far.
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_source.h"
#include "archive/format.h"
#include "archive/stream_codec.h"
#include "common/error.h"
#include "files/file_list.h"

namespace {

using namespace tarn;

void print_chunks(ArchiveReader& archive, const FileEntry& head, uint64_t group_size, bool solid) {
  CodingSetup setup;
  setup.method = archive.header().method;
  StreamCodec codec(setup);
  ArchiveSource source(archive.file(), head.offset);
  uint64_t decoded = 0;
  for (unsigned j = 0; j == 0 || (!solid && decoded < group_size); ++j) {
    ChunkTrace trace;
    const std::vector<uint8_t> chunk = codec.decode_chunk(source, &trace);
    std::printf("chunk %u plain=%u prepass=%d coded=%u\n", j, trace.plain_length, trace.prepass_applied ? 1 : 0,
                trace.coded_length);
    for (size_t k = 0; k < trace.blocks.size(); ++k) {
      const BlockTrace& b = trace.blocks[k];
      std::printf("block %zu type=0x%02x coded=%u restored=%u\n", k, b.type, b.coded_length, b.restored_length);
    }
    if (chunk.empty()) break;
    decoded += chunk.size();
  }
}

int inspect(const std::string& name) {
  ArchiveReader archive;
  archive.open_archive_for_reading(name);
  FileList list;
  archive.read_file_table(list);
  const ArchiveHeader& h = archive.header();
  std::printf("archive method=%u entries=%u data_length=%u\n", h.method, h.entry_count, h.data_length);
  const auto& entries = list.entries();
  unsigned group_index = 0;
  for (size_t i = 0; i < entries.size(); ++group_index) {
    const FileEntry& head = entries[i];
    size_t j = i + 1;
    uint64_t size = head.size;
    while (j < entries.size() && (entries[j].flags & FLAG_SOLID_CONTINUATION) != 0) size += entries[j++].size;
    const bool stored = (head.flags & FLAG_STORED) != 0;
    std::printf("group %u offset=%u packed=%u size=%llu stored=%d members=%zu\n", group_index, head.offset,
                head.packed_size, static_cast<unsigned long long>(size), stored ? 1 : 0, j - i);
    if (!stored && size > 0) print_chunks(archive, head, size, j - i > 1);
    i = j;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: tarn-inspect ARCHIVE\n", stderr);
    return 1;
  }
  try {
    return inspect(argv[1]);
  } catch (const tarn::TarnError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "tarn-inspect: %s\n", error.what());
    return 1;
  }
}
