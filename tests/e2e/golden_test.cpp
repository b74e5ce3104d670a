// The golden archives: every golden archive must test without a CRC error,
// and every case of golden/CASES.md is re-made with tarnc from the same
// inputs (fixed time and mode) and must come out byte for byte; tarn-inspect
// of it must print the case's .inspect lines.
#include <gtest/gtest.h>

#include <algorithm>
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
  for (std::string line; std::getline(in, line);) {
    // | `name.trn` | bytes | `tarnc c ... name.trn inputs...` |
    const size_t start = line.find("`tarnc ");
    if (line.rfind("| `", 0) != 0 || start == std::string::npos) continue;
    cases.push_back({line.substr(3, line.find('`', 3) - 3), {}});
    std::istringstream words(line.substr(start + 7, line.find('`', start + 1) - start - 7));
    for (std::string w; words >> w;) cases.back().args.push_back(w);
  }
  return cases;
}

class GoldenTest : public ::testing::TestWithParam<GoldenCase> {};

// The golden archive tests without a CRC error; tarnc re-makes it from its
// inputs byte for byte. Under the sanitizers the programs run many times
// slower: the largest cases are left to the optimised build there.
TEST_P(GoldenTest, TestsCleanAndIsMadeAgainByteForByte) {
  const GoldenCase& c = GetParam();
  const fs::path golden = SHARED / "golden" / c.archive;
#if defined(__SANITIZE_ADDRESS__)
  if (fs::file_size(golden) > 1000000) GTEST_SKIP() << "large case: run in the release build";
#endif
  Sandbox box;
  fs::copy_file(golden, box.dir() / "golden.trn");
  RunResult r = box.tarnc({"t", "golden.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(contains(r.out, "CRC")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nTested ")) << r.out;

  // Inputs: the arguments after the archive name.
  const auto archive_arg = std::find(c.args.begin(), c.args.end(), c.archive);
  ASSERT_NE(archive_arg, c.args.end());
  for (auto a = archive_arg + 1; a != c.args.end(); ++a) {
    fs::path source = SHARED / "corpus" / "canterbury" / *a;
    if (!fs::exists(source)) source = SHARED / "golden" / "inputs" / *a;
    ASSERT_TRUE(fs::exists(source)) << *a;
    fs::copy_file(source, box.dir() / *a);
    box.fix_time(*a);
  }
  r = box.tarnc(c.args);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string made = box.read(c.archive);
  EXPECT_EQ(made.size(), fs::file_size(golden));
  EXPECT_TRUE(made == testing::read_file(golden)) << "archive bytes differ";
  const RunResult inspect = box.run_program(TARN_INSPECT_PATH, {c.archive}, true);
  EXPECT_EQ(inspect.out, testing::read_file(fs::path(golden).replace_extension(".inspect")));
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, ::testing::ValuesIn(load_cases()), [](const auto& info) {
  std::string name = info.param.archive.substr(0, info.param.archive.size() - 4);
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

TEST(GoldenCases, AreFound) { EXPECT_GE(load_cases().size(), 16u); }

}  // namespace
}  // namespace tarn::e2e
