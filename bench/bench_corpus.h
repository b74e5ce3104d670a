// What the benchmarks read: the sample corpus of the repository (its path is
// given by the build as TARN_BENCH_CORPUS) and whole files.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

// The corpus files, sorted by name; only the .txt ones when `texts_only`.
inline std::vector<std::string> corpus_files(bool texts_only) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(TARN_BENCH_CORPUS))
    if (e.is_regular_file() && (!texts_only || e.path().extension() == ".txt")) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// The bytes of a file (empty when it cannot be read).
inline std::string read_all(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace bench
