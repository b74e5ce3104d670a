// A fresh temporary directory per test, made the current directory while
// the test runs and removed afterwards; files and archives made in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/create.h"
#include "cli/console_report.h"
#include "files/selection.h"
#include "test_data.h"

namespace tarn::testing {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tarn-unit-XXXXXX";
    path_ = ::mkdtemp(pattern);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~TempDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path old_;
};

inline void write_file(const std::string& name, const std::string& content) {
  std::filesystem::path p(name);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream(name, std::ios::binary) << content;
}

inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The entries the wildcards select, in list order.
inline FileList select_files(const std::vector<std::string>& wildcards, SelectionOptions selection = {}) {
  FileList list;
  FileSelector selector(list, selection);
  for (const auto& w : wildcards) selector.expand_wildcard(w);
  return list;
}

// The options of tarnc c -m<method>, with -b when `solid`.
inline CreateOptions create_options(uint8_t method, bool solid = false) {
  CreateOptions options;
  options.coding.method = method;
  options.solid_blocks = solid;
  return options;
}

// Creates archive `name` from `list` in-process, its console output captured;
// returns that output, and the error (or NO_ERROR) in `error`.
inline std::string create_from(FileList list, const CreateOptions& options, const std::string& name,
                               ErrorCode* error = nullptr) {
  platform::File archive;
  if (!archive.open_write(name)) ADD_FAILURE() << "cannot write " << name;
  PivotGenerator random;
  ::testing::internal::CaptureStdout();
  ConsoleReport report("tarnc");
  FileArchiveOutput out(archive);
  const ErrorCode code = testdata::error_of([&] { create_archive(out, list, options, random, report); });
  const std::string output = ::testing::internal::GetCapturedStdout();
  if (error) *error = code;
  else EXPECT_EQ(code, testdata::NO_ERROR) << output;
  return output;
}

// The file table of an archive.
inline FileList read_table(const std::string& archive_name) {
  ArchiveReader reader;
  reader.open_archive_for_reading(archive_name);
  FileList list;
  reader.read_file_table(list);
  return list;
}

}  // namespace tarn::testing
