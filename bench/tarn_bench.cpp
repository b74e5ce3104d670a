// Packs and unpacks a set of files the way the archive driver does and
// reports sizes, bits per byte, speeds and peak memory.
//
//   tarn_bench [--method N] [--no-filters] [--repeat R] [file ...]
//
// Without files it takes every file of the Canterbury corpus in
// tests/data/canterbury; without --method it runs methods 1 to 6 in turn.
// --repeat packs and unpacks each file R times and reports the fastest of
// each: on a machine shared with other work the minimum of several short
// runs moves far less than one run or a median (bench/ab.sh compares two
// builds that way).
// Peak memory (ru_maxrss) covers the whole process, so for a figure per
// method run one method per invocation (bench/compare.sh does). --no-filters packs as
// `-ftemsl` does, so the gain of the filters shows against a normal run.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "archive/format.h"
#include "common/error.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/block_types.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool g_filters = true;

void start_stream(tarn::BlockPipeline& p, int method) {
  p.start_stream({static_cast<uint8_t>(method), g_filters ? tarn::FILTER_ALLOW_ALL : uint8_t{0}});
}

struct Result {
  size_t size = 0;
  size_t packed = 0;
  double pack_seconds = 0;
  double unpack_seconds = 0;
  bool ok = false;
};

Result run_once(tarn::BlockPipeline& p, const std::vector<uint8_t>& data, int method) {
  Result r;
  r.size = data.size();
  tarn::ByteSink sink;
  auto t0 = Clock::now();
  start_stream(p, method);
  for (size_t pos = 0; pos < data.size(); pos += tarn::CHUNK_SIZE) {
    size_t len = std::min<size_t>(tarn::CHUNK_SIZE, data.size() - pos);
    p.compress_buffer(std::vector<uint8_t>(data.begin() + pos, data.begin() + pos + len), sink);
  }
  p.stop_suballocator();
  r.pack_seconds = seconds_since(t0);
  r.packed = sink.size();

  std::vector<uint8_t> restored;
  restored.reserve(data.size());
  t0 = Clock::now();
  start_stream(p, method);
  tarn::MemorySource src(sink.bytes());
  while (restored.size() < data.size()) {
    std::vector<uint8_t> chunk = p.decode_buffer(src);
    if (chunk.empty()) break;
    restored.insert(restored.end(), chunk.begin(), chunk.end());
  }
  p.stop_suballocator();
  r.unpack_seconds = seconds_since(t0);
  r.ok = restored == data && src.remaining() == 0;
  return r;
}

// The fastest pack and the fastest unpack of `repeat` runs; ok only if every run restored the data.
Result run(tarn::BlockPipeline& p, const std::vector<uint8_t>& data, int method, int repeat) {
  Result best = run_once(p, data, method);
  for (int k = 1; k < repeat; ++k) {
    const Result r = run_once(p, data, method);
    best.pack_seconds = std::min(best.pack_seconds, r.pack_seconds);
    best.unpack_seconds = std::min(best.unpack_seconds, r.unpack_seconds);
    best.ok = best.ok && r.ok && r.packed == best.packed;
  }
  return best;
}

double mb_per_second(size_t bytes, double seconds) {
  return seconds > 0 ? bytes / 1e6 / seconds : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  int only_method = 0;
  int repeat = 1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--method") == 0 && i + 1 < argc) {
      only_method = std::atoi(argv[++i]);
      if (only_method < 1 || only_method > 6) {
        std::fprintf(stderr, "method must be 1 to 6\n");
        return 2;
      }
    } else if (std::strcmp(argv[i], "--repeat") == 0) {
      char* end = nullptr;
      const long value = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
      if (i + 1 >= argc || *end != '\0' || value < 1 || value > 1000) {
        std::fprintf(stderr, "--repeat needs a number from 1 to 1000\n");
        return 2;
      }
      repeat = static_cast<int>(value);
      ++i;
    } else if (std::strcmp(argv[i], "--no-filters") == 0) {
      g_filters = false;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) files = bench::corpus_files(false);

  std::vector<std::vector<uint8_t>> inputs;
  for (const std::string& f : files) {
    std::error_code ec;
    std::ifstream in;
    if (std::filesystem::is_regular_file(f, ec)) in.open(f, std::ios::binary);
    if (!in.is_open() || !in) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 2;
    }
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool all_ok = true;
  tarn::BlockPipeline pipeline;
  for (int method = 1; method <= 6; ++method) {
    if (only_method && method != only_method) continue;
    const tarn::MethodParameters& row = tarn::METHOD_PARAMETERS[method];
    std::printf("method %d (order %u, %u MiB%s%s)\n", method, row.order, row.megabytes,
                row.cut_off ? ", cut-off" : "", g_filters ? "" : ", no filters");
    std::printf("  %-28s %10s %10s %6s %9s %9s\n", "file", "size", "packed", "bpb", "pack MB/s",
                "unpk MB/s");
    Result total;
    total.ok = true;
    for (size_t k = 0; k < inputs.size(); ++k) {
      Result r;
      try {
        r = run(pipeline, inputs[k], method, repeat);
      } catch (const tarn::TarnError& e) {
        std::printf("  %-28s error: %s\n", files[k].c_str(), e.what());
        all_ok = false;
        continue;
      }
      std::string name = std::filesystem::path(files[k]).filename().string();
      std::printf("  %-28s %10zu %10zu %6.3f %9.2f %9.2f%s\n", name.c_str(), r.size, r.packed,
                  r.size ? 8.0 * r.packed / r.size : 0.0, mb_per_second(r.size, r.pack_seconds),
                  mb_per_second(r.size, r.unpack_seconds), r.ok ? "" : "  MISMATCH");
      total.size += r.size;
      total.packed += r.packed;
      total.pack_seconds += r.pack_seconds;
      total.unpack_seconds += r.unpack_seconds;
      total.ok = total.ok && r.ok;
    }
    all_ok = all_ok && total.ok;
    std::printf("  %-28s %10zu %10zu %6.3f %9.2f %9.2f\n", "total", total.size, total.packed,
                total.size ? 8.0 * total.packed / total.size : 0.0,
                mb_per_second(total.size, total.pack_seconds),
                mb_per_second(total.size, total.unpack_seconds));
    std::printf("  time pack %.3f s unpack %.3f s\n", total.pack_seconds, total.unpack_seconds);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld KiB\n", static_cast<long>(usage.ru_maxrss));
  return all_ok ? 0 : 1;
}
