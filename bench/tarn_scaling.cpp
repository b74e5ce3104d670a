// Scaling of the archive drivers with the number of workers.
//
//   tarn_scaling [--method N] [--solid] [--workers a,b,...] [--generated] [file ...]
//
// Packs the files (default: the Canterbury corpus in tests/data; with
// --generated, 50 text files of 1,000,000 bytes cut from the corpus) into an
// archive once per worker count (default 1,2), then tests each archive with
// the same worker counts. Prints the wall times, the speed-up over the first
// count, the peak memory of the packing run and whether every archive is
// byte-identical to the first. Each packing run happens in a child process,
// so its peak resident size is its own. The drivers' own console lines are
// sent to /dev/null while they run.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "archive/archive_reader.h"
#include "archive/create.h"
#include "archive/extract.h"
#include "files/wildcard_list.h"
#include "common/error.h"
#include "files/selection.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Processor seconds used by the whole process so far (all threads).
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double create(const std::vector<std::string>& files, const std::string& archive_name, uint8_t method, bool solid,
              unsigned workers) {
  tarn::FileList list;
  tarn::FileSelector selector(list, {});
  for (const auto& f : files) selector.expand_wildcard(f);
  tarn::platform::File archive;
  if (!archive.open_write(archive_name)) throw tarn::TarnError(tarn::ErrorCode::CANNOT_OPEN_ARCHIVE);
  tarn::CreateOptions options;
  options.coding.method = method;
  options.solid_blocks = solid;
  options.workers = workers;
  tarn::PivotGenerator random;
  tarn::DriverEvents silent;
  const auto t0 = Clock::now();
  tarn::FileArchiveOutput output(archive);
  create_archive(output, list, options, random, silent);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct PackRun {
  double seconds = 0;
  double cpu_seconds = 0;
  double peak_mib = 0;
  bool ok = false;
};

// create() in a child process: wall time, processor time and peak memory.
PackRun create_in_child(const std::vector<std::string>& files, const std::string& archive_name, uint8_t method,
                        bool solid, unsigned workers) {
  PackRun run;
  std::fflush(stdout);
  const auto t0 = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    int code = 0;
    try {
      create(files, archive_name, method, solid, workers);
    } catch (const tarn::TarnError& e) {
      std::printf("error: %s\n", e.what());
      code = 1;
    }
    std::fflush(stdout);
    _exit(code);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return run;
  run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

double test(const std::string& archive_name, unsigned workers) {
  const auto t0 = Clock::now();
  tarn::ArchiveReader reader;
  reader.open_archive_for_reading(archive_name);
  tarn::FileList entries;
  reader.read_file_table(entries);
  tarn::WildcardList wildcards;
  wildcards.add_extract_wildcard("*");
  tarn::ExtractOptions options;
  options.write_files = false;
  options.workers = workers;
  tarn::DriverEvents silent;
  const tarn::ExtractResult result = extract_archive(reader, entries, wildcards, options, silent);
  if (result.crc_failed) std::printf("  CRC errors in %s!\n", archive_name.c_str());
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint8_t method = 3;
  bool solid = false;
  bool generated = false;
  std::vector<unsigned> counts{1, 2};
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--method") == 0 && i + 1 < argc) {
      method = static_cast<uint8_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--solid") == 0) {
      solid = true;
    } else if (std::strcmp(argv[i], "--generated") == 0) {
      generated = true;
    } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
      counts.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        counts.push_back(static_cast<unsigned>(std::strtoul(p, const_cast<char**>(&p), 10)));
        if (*p == ',') ++p;
      }
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (method < 1 || method > 6 || counts.empty()) {
    std::fprintf(stderr, "usage: tarn_scaling [--method 1..6] [--solid] [--workers a,b] [--generated] [file ...]\n");
    return 2;
  }

  const fs::path work = fs::temp_directory_path() / ("tarn-scaling-" + std::to_string(getpid()));
  fs::create_directories(work);
  if (files.empty()) {
    if (!generated) {
      files = bench::corpus_files(false);
    } else {
      std::string text;
      for (const auto& f : bench::corpus_files(true)) text += bench::read_all(f);
      for (int k = 0; k < 50; ++k) {
        std::string body;
        for (size_t at = static_cast<size_t>(k) * 7919 % text.size(); body.size() < 1000000; at = 0)
          body += text.substr(at, 1000000 - body.size());
        const std::string name = (work / ("gen" + std::to_string(k) + ".txt")).string();
        std::ofstream(name, std::ios::binary) << body;
        files.push_back(name);
      }
    }
  }
  uint64_t total = 0;
  for (const auto& f : files) total += fs::file_size(f);
  std::printf("%zu files, %llu bytes, method %u%s, %u hardware threads\n", files.size(),
              static_cast<unsigned long long>(total), method, solid ? ", solid groups" : "",
              std::thread::hardware_concurrency());

  int status = 0;
  try {
    std::string reference;
    double first_pack = 0;
    double first_test = 0;
    double first_peak = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      const std::string name = (work / (std::to_string(counts[i]) + "w.trn")).string();
      const PackRun packed = create_in_child(files, name, method, solid, counts[i]);
      if (!packed.ok) throw tarn::TarnError(tarn::ErrorCode::IO_ERROR);
      const double pack = packed.seconds;
      const double cpu1 = cpu_seconds();
      const double tested = test(name, counts[i]);
      const double cpu2 = cpu_seconds();
      const std::string bytes = bench::read_all(name);
      if (i == 0) {
        reference = bytes;
        first_pack = pack;
        first_test = tested;
      }
      const bool same = bytes == reference;
      if (!same) status = 1;
      std::printf("  %u worker(s): pack %7.3f s (x%.2f, cpu %.3f s, peak %.1f MiB)  test %7.3f s (x%.2f, cpu %.3f s)  archive %zu bytes%s\n",
                  counts[i], pack, first_pack / pack, packed.cpu_seconds, packed.peak_mib, tested, first_test / tested,
                  cpu2 - cpu1, bytes.size(), i == 0 ? "" : same ? ", identical" : ", DIFFERENT");
      if (i == 0) first_peak = packed.peak_mib;
      else if (counts[i] > counts[0])
        std::printf("      peak memory per extra worker: %.1f MiB\n", (packed.peak_mib - first_peak) / (counts[i] - counts[0]));
    }
  } catch (const tarn::TarnError& e) {
    std::printf("error: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(work);
  return status;
}
