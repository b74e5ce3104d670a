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
#include "stream/piece_source.h"
#include "archive/format.h"
#include "stream/stream_codec.h"
#include "cli/display_name.h"
#include "cli/guarded_run.h"
#include "common/error.h"
#include "files/file_list.h"

namespace {

using namespace tarn;

void print_chunks(ArchiveReader& archive, const FileEntry& head, uint64_t group_size, bool solid) {
  CodingOptions coding;
  coding.method = archive.header().method;
  StreamCodec codec(coding);
  PieceSource source(archive.input(), head.offset);
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
  const std::vector<EntryGroup> groups = split_into_groups(entries.size(), [&](size_t i) { return entries[i].flags; });
  for (size_t g = 0; g < groups.size(); ++g) {
    const FileEntry& head = entries[groups[g].first];
    uint64_t size = 0;
    for (size_t k = 0; k < groups[g].count; ++k) size += entries[groups[g].first + k].size;
    const bool stored = (head.flags & FLAG_STORED) != 0;
    std::printf("group %zu offset=%u packed=%u size=%llu stored=%d members=%zu\n", g, head.offset, head.packed_size,
                static_cast<unsigned long long>(size), stored ? 1 : 0, groups[g].count);
    if (!stored && size > 0) print_chunks(archive, head, size, groups[g].count > 1);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: tarn-inspect ARCHIVE\n", stderr);
    return 1;
  }
  return tarn::run_guarded([&] { return inspect(argv[1]); },
                           [](const tarn::TarnError& error) {
                             std::fflush(stdout);
                             std::fprintf(stderr, "tarn-inspect: %s\n", error.what());
                             if (!error.detail().empty())
                               std::fprintf(stderr, "tarn-inspect: %s\n", tarn::printable_name(error.detail()).c_str());
                           });
}
