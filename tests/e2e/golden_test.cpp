// The golden archives: every case of golden/CASES.md is re-made with tarnc
// from the same inputs (fixed time and mode) and must come out byte for
// byte; tarn-inspect of it must print the case's .inspect lines; and every
// golden archive must test without a CRC error.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path SHARED = TARN_SHARED_DIR;

struct GoldenCase {
  std::string archive;            // e.g. alice-q.trn
  std::vector<std::string> args;  // the command's arguments after "tarnc"
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.archive; }

std::vector<GoldenCase> load_cases() {
  std::vector<GoldenCase> cases;
  std::ifstream in(SHARED / "golden" / "CASES.md");
  std::string line;
  while (std::getline(in, line)) {
    // | `name.trn` | bytes | `tarnc c ... name.trn inputs...` |
    if (line.rfind("| `", 0) != 0) continue;
    const size_t cmd_start = line.find("`tarnc ");
    if (cmd_start == std::string::npos) continue;
    const size_t cmd_end = line.find('`', cmd_start + 1);
    GoldenCase c;
    c.archive = line.substr(3, line.find('`', 3) - 3);
    std::istringstream words(line.substr(cmd_start + 7, cmd_end - cmd_start - 7));
    for (std::string w; words >> w;) c.args.push_back(w);
    cases.push_back(c);
  }
  return cases;
}


std::string case_name(const ::testing::TestParamInfo<GoldenCase>& info) {
  std::string name = info.param.archive.substr(0, info.param.archive.size() - 4);
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

class GoldenTest : public ::testing::TestWithParam<GoldenCase> {};

// Under the sanitizers the programs run many times slower; the largest
// cases are left to the optimised build there.
bool too_slow_here(const GoldenCase& c) {
#if defined(__SANITIZE_ADDRESS__)
  return fs::file_size(SHARED / "golden" / c.archive) > 1000000;
#else
  (void)c;
  return false;
#endif
}

TEST_P(GoldenTest, CreatesTheSameArchive) {
  const GoldenCase& c = GetParam();
  if (too_slow_here(c)) GTEST_SKIP() << "large case: run in the release build";
  Sandbox box;
  // Inputs: the arguments after the archive name.
  bool after_archive = false;
  for (const std::string& a : c.args) {
    if (after_archive) {
      fs::path source = SHARED / "corpus" / "canterbury" / a;
      if (!fs::exists(source)) source = SHARED / "golden" / "inputs" / a;
      ASSERT_TRUE(fs::exists(source)) << a;
      fs::copy_file(source, box.dir() / a);
      box.fix_time(a);
    }
    if (a == c.archive) after_archive = true;
  }
  const RunResult r = box.tarnc(c.args);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string made = box.read(c.archive);
  const std::string golden = testing::read_file(SHARED / "golden" / c.archive);
  EXPECT_EQ(made.size(), golden.size());
  EXPECT_TRUE(made == golden) << "archive bytes differ";
#ifdef TARN_INSPECT_PATH
  const RunResult inspect = box.run_program(TARN_INSPECT_PATH, {c.archive});
  const fs::path inspect_file = SHARED / "golden" / (c.archive.substr(0, c.archive.size() - 4) + ".inspect");
  EXPECT_EQ(inspect.out, testing::read_file(inspect_file));
#endif
}

TEST_P(GoldenTest, GoldenArchiveTestsWithoutCrcErrors) {
  const GoldenCase& c = GetParam();
  if (too_slow_here(c)) GTEST_SKIP() << "large case: run in the release build";
  Sandbox box;
  fs::copy_file(SHARED / "golden" / c.archive, box.dir() / c.archive);
  const RunResult r = box.tarnc({"t", c.archive, "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("CRC"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nTested "), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, ::testing::ValuesIn(load_cases()), case_name);

TEST(GoldenCases, AreFound) { EXPECT_GE(load_cases().size(), 16u); }

}  // namespace
}  // namespace tarn::e2e
