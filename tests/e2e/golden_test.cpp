// The golden archives, made by an independent implementation of the format:
// every case is re-made with tarnc from the same inputs (fixed time and mode)
// and must come out byte for byte (the largest is compared by its SHA-256);
// tarn-inspect of it must print the case's .inspect lines, and every stored
// golden archive must test without a CRC error.
//
// The cases are listed here rather than read from golden/CASES.md, so that
// the test list never depends on a file; a test checks that both agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

struct GoldenCase {
  std::string archive;            // e.g. alice-q.trn, under golden/
  std::vector<std::string> args;  // the command's arguments after "tarnc"
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.archive; }

// The SHA-256 of a file in the sandbox, by the system's sha256sum.
std::string digest_of(const Sandbox& box, const std::string& name) {
  return box.run_program("sha256sum", {name}, true).out.substr(0, 64);
}

// The digest SHA256SUMS ("<hex>  <name>" per line) gives for `name`.
std::string digest_listed(const fs::path& sums, const std::string& name) {
  std::ifstream in(sums);
  for (std::string line; std::getline(in, line);)
    if (line.size() > 66 && line.compare(66, std::string::npos, name) == 0) return line.substr(0, 64);
  return {};
}

const std::vector<GoldenCase>& golden_cases() {
  static const std::vector<GoldenCase> cases = {
      {"alice-q.trn", {"c", "-mq", "alice-q.trn", "alice29.txt"}},
      {"alice-n.trn", {"c", "-mn", "alice-n.trn", "alice29.txt"}},
      {"alice-e.trn", {"c", "-me", "alice-e.trn", "alice29.txt"}},
      {"alice-n-nofilters.trn", {"c", "-mn", "-ftemsl", "alice-n-nofilters.trn", "alice29.txt"}},
      {"sheet-f.trn", {"c", "-mf", "sheet-f.trn", "kennedy.xls"}},
      {"fax-g.trn", {"c", "-mg", "fax-g.trn", "ptt5"}},
      {"small-solid-n.trn",
       {"c", "-mn", "-b", "small-solid-n.trn", "grammar.lsp", "xargs.1", "fields.c", "cp.html", "sum",
        "asyoulik.txt"}},
      {"x86code-n.trn", {"c", "-mn", "x86code-n.trn", "x86code"}},
      {"stereo16-n.trn", {"c", "-mn", "stereo16-n.trn", "stereo16"}},
      {"pixels24-s.trn", {"c", "-ms", "pixels24-s.trn", "pixels24"}},
      {"cyrillic-n.trn", {"c", "-mn", "cyrillic-n.trn", "cyr1251", "cyr866"}},
      {"textnoise-n.trn", {"c", "-mn", "textnoise-n.trn", "textnoise"}},
      {"repeats-n.trn", {"c", "-mn", "repeats-n.trn", "repeats"}},
      {"corpus-q-solid.trn",
       {"c", "-mq", "-b", "corpus-q-solid.trn", "alice29.txt", "asyoulik.txt", "cp.html", "fields.c", "grammar.lsp",
        "kennedy.xls", "lcet10.txt", "plrabn12.txt", "ptt5", "sum", "xargs.1"}},
      {"lcg1m-q-restart.trn", {"c", "-mq", "lcg1m-q-restart.trn", "lcg1m"}},
      {"lcg6m-e-cutoff.trn", {"c", "-me", "lcg6m-e-cutoff.trn", "lcg6m"}},
  };
  return cases;
}

fs::path golden_dir() { return testdata::data_path("golden"); }

// Puts input `name` into the sandbox: a corpus file, a stored generated
// input, or one the tests make (lcg1m, lcg6m).
void place_input(const Sandbox& box, const std::string& name) {
  std::vector<uint8_t> bytes;
  if (name == "lcg1m") bytes = testdata::lcg_letters(1200000, 11);
  else if (name == "lcg6m") bytes = testdata::lcg_letters(6000000, 12);
  else if (fs::exists(testdata::data_path("canterbury/" + name))) bytes = testdata::data_bytes("canterbury/" + name);
  else bytes = testdata::data_bytes("golden/inputs/" + name);
  box.write(name, std::string(bytes.begin(), bytes.end()));
  box.fix_time(name);
}

class GoldenTest : public ::testing::TestWithParam<GoldenCase> {};

// tarnc re-makes the archive from its inputs byte for byte, and the golden
// archive (where it is kept) tests without a CRC error. Under the sanitizers
// the programs run many times slower: the largest cases are left to the
// optimised build there.
TEST_P(GoldenTest, TestsCleanAndIsMadeAgainByteForByte) {
  const GoldenCase& c = GetParam();
  const fs::path golden = golden_dir() / c.archive;
  const std::string digest = digest_listed(golden_dir() / "SHA256SUMS", c.archive);
  ASSERT_EQ(digest.size(), 64u) << "no digest for " << c.archive << " in " << golden_dir() / "SHA256SUMS";
#if defined(__SANITIZE_ADDRESS__)
  if (c.archive.starts_with("lcg")) GTEST_SKIP() << "large case: run in the release build";
#endif
  Sandbox box;
  if (fs::exists(golden)) {
    box.write("golden.trn", testing::read_file(golden.string()));
    EXPECT_EQ(digest_of(box, "golden.trn"), digest) << golden;
    RunResult r = box.tarnc({"t", "golden.trn", "*"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "CRC")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nTested ")) << r.out;
  } else {
    ASSERT_EQ(c.archive, "lcg6m-e-cutoff.trn") << "missing test data file " << golden;
  }

  const auto archive_arg = std::find(c.args.begin(), c.args.end(), c.archive);
  ASSERT_NE(archive_arg, c.args.end());
  for (auto a = archive_arg + 1; a != c.args.end(); ++a) place_input(box, *a);
  const RunResult r = box.tarnc(c.args);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string made = box.read(c.archive);
  EXPECT_EQ(digest_of(box, c.archive), digest) << "archive bytes differ";
  if (fs::exists(golden)) {
    EXPECT_TRUE(made == testing::read_file(golden.string())) << "archive bytes differ";
  }
  const RunResult inspect = box.run_program(TARN_INSPECT_PATH, {c.archive}, true);
  EXPECT_EQ(inspect.out, testing::read_file(fs::path(golden).replace_extension(".inspect").string()));
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, ::testing::ValuesIn(golden_cases()), [](const auto& info) {
  std::string name = info.param.archive.substr(0, info.param.archive.size() - 4);
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// The list above is golden/CASES.md's, case for case and word for word.
TEST(GoldenCases, MatchCasesFile) {
  const fs::path cases_file = golden_dir() / "CASES.md";
  std::ifstream in(cases_file);
  ASSERT_TRUE(in) << "missing test data file " << cases_file;
  std::vector<std::string> listed;
  for (std::string line; std::getline(in, line);) {
    // | `name.trn` | bytes | `tarnc c ... name.trn inputs...` |
    const size_t start = line.find("`tarnc ");
    if (line.rfind("| `", 0) == 0 && start != std::string::npos)
      listed.push_back(line.substr(start + 7, line.find('`', start + 1) - start - 7));
  }
  std::vector<std::string> ours;
  for (const GoldenCase& c : golden_cases()) {
    std::string words;
    for (const std::string& w : c.args) words += (words.empty() ? "" : " ") + w;
    ours.push_back(words);
  }
  EXPECT_EQ(listed, ours);
}

}  // namespace
}  // namespace tarn::e2e
