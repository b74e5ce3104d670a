// The reader handle of the C interface, shared by its reading calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/api_support.h"
#include "archive/archive_reader.h"
#include "archive/extract.h"
#include "files/file_list.h"
#include "stream/decode_job.h"
#include "stream/pipeline_pool.h"
#include "tarn/tarn.h"

struct tarn_reader {
  tarn::ArchiveReader archive;
  tarn::FileList table;
  std::vector<tarn::EntryGroup> groups;
  std::vector<uint32_t> group_of;  // per entry: its group
  std::vector<std::string> paths;  // per entry: its safe relative path, made when first asked
  tarn::api::EventSink events{nullptr, nullptr};
  unsigned threads = 0;
  // For entry streams: their pipelines, and the last solid group decoded
  // for one of them, so that reading its members one by one decodes it once.
  tarn::CodingOptions coding;  // the archive's method, every filter
  tarn::PipelinePool pool;
  struct DecodedGroup {
    size_t group = static_cast<size_t>(-1);
    std::vector<uint8_t> bytes;
    std::vector<tarn::PieceDecodeJob::Result> results;
  };
  std::shared_ptr<const DecodedGroup> cached_group;

  void index_groups();
};

namespace tarn::api {

// The texts of tarn_last_error for entries that failed their check or
// were not written: the first one by name, and how many more.
std::string damage_text(const std::string& first, uint64_t count);
std::string refusal_text(const std::string& first, uint64_t count);

// The permission bits extraction gives an entry.
uint32_t entry_mode(const FileEntry& e);
// The entries `indices` lists (all when null), one flag per entry.
std::vector<bool> selection(const tarn_reader& reader, const size_t* indices, size_t count);
// Runs the extraction driver over the selected entries with `options` and
// the reader's events; the result tells about damaged and refused entries.
tarn_result run_extraction(tarn_reader& reader, const std::vector<bool>& selected, ExtractOptions options,
                           tarn_summary* summary);
// Workers for a thread setting (0: one per core).
unsigned worker_count(unsigned threads);

}  // namespace tarn::api
