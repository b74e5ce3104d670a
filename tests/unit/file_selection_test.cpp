// Selecting files by wildcards and list files, matching stored names, and
// the names and directories extraction makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/safe_path.h"
#include "archive/wildcard_list.h"
#include "files/output_dirs.h"
#include "platform/name_mask.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::error_of;
using testing::TempDir;
using testing::write_file;
using Names = std::vector<std::string>;

// Names in list order (from the head: reverse of discovery).
Names select(const Names& args, SelectionOptions options = {}) {
  Names names;
  const FileList list = testing::select_files(args, options);
  for (const auto& e : list.entries()) names.push_back(e.name);
  return names;
}

Names discovery(Names names) { return {names.rbegin(), names.rend()}; }

void make_tree() {
  write_file("b.txt", "b");
  write_file("a.txt", "a");
  write_file("c.dat", "c");
  write_file("docs/x.txt", "x");
  write_file("docs/sub/y.txt", "y");
  write_file("docs/sub/z.dat", "z");
  std::filesystem::create_directory("empty");
}

TEST(FileSelection, MaskSelectsFilesOfOneDirectoryInByteOrder) {
  TempDir dir;
  make_tree();
  EXPECT_EQ(discovery(select({"*.txt"})), (Names{"a.txt", "b.txt"}));
  // A directory without a trailing separator and without -r selects nothing.
  EXPECT_TRUE(select({"docs"}).empty());
  // A trailing separator selects the directory's files, nothing below.
  EXPECT_EQ(select({"docs/"}), (Names{"docs\\x.txt"}));
  EXPECT_EQ(select({"docs\\"}), (Names{"docs\\x.txt"}));
  EXPECT_TRUE(select({"*.none"}).empty());
  // A wildcard in the directory part is an incorrect request.
  EXPECT_EQ(error_of([] { select({"d*\\x.txt"}); }), ErrorCode::INCORRECT_REQUEST);
}

TEST(FileSelection, RecursionIsDepthFirstAndDirectoriesRecordedWithD) {
  TempDir dir;
  make_tree();
  EXPECT_EQ(discovery(select({"*.txt"}, {true, false})),
            (Names{"a.txt", "b.txt", "docs\\x.txt", "docs\\sub\\y.txt"}));
  EXPECT_EQ(discovery(select({"docs\\"}, {true, true})),
            (Names{"docs\\x.txt", "docs\\sub", "docs\\sub\\y.txt", "docs\\sub\\z.dat"}));
  // -d alone does nothing.
  EXPECT_EQ(select({"docs\\"}, {false, true}), (Names{"docs\\x.txt"}));

  int empty_dirs = 0;
  const FileList list = testing::select_files({"*.dat"}, {true, true});
  for (const auto& e : list.entries())
    empty_dirs += e.name == "empty" && e.is_directory() && e.size == 0;
  EXPECT_EQ(empty_dirs, 1);
}

TEST(FileSelection, UnreadableFilesAreLeftOutSilently) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  TempDir dir;
  write_file("open.txt", "o");
  write_file("closed.txt", "c");
  std::filesystem::permissions("closed.txt", std::filesystem::perms::none);
  EXPECT_EQ(select({"*.txt"}), (Names{"open.txt"}));
}

TEST(WildcardMatch, ComparesBytesExactlyAndNameMaskStarDotStarMatchesEveryName) {
  const struct {
    const char* name;
    const char* pattern;
    bool match;
  } cases[] = {{"docs\\a.txt", "*.txt", true}, {"a.txt", "A*", false},    {"a.txt", "*.TXT", false},
               {"a.txt", "*", true},            {"", "*", true},           {"abc", "a?c", true},
               {"ab", "ab?", false},            {"aXbXc", "a**b*c", true}, {"abcd", "a*c", false},
               {"docs\\sub\\a", "docs\\*", true}};
  for (const auto& c : cases) EXPECT_EQ(wildcard_match(c.name, c.pattern), c.match) << c.name << " " << c.pattern;
  EXPECT_TRUE(platform::name_mask_match("README", "*.*"));
  EXPECT_TRUE(platform::name_mask_match("a.txt", "*.txt"));
  EXPECT_FALSE(platform::name_mask_match("a.TXT", "*.txt"));
  EXPECT_FALSE(platform::name_mask_match("README", "*.txt"));
  EXPECT_TRUE(platform::name_mask_match("ab", "a?"));
}

TEST(OutputDirectories, CreatesMissingParentsOutermostFirst) {
  TempDir dir;
  std::filesystem::create_directory("out");
  EXPECT_EQ(make_path_directories("out\\a\\b\\file.txt"), 0);
  EXPECT_TRUE(std::filesystem::is_directory("out/a/b"));
  EXPECT_FALSE(std::filesystem::exists("out/a/b/file.txt"));
  EXPECT_EQ(make_path_directories(".\\file.txt"), 0);
  EXPECT_EQ(make_path_directories("out\\dir\\"), 0);
  EXPECT_TRUE(std::filesystem::is_directory("out/dir"));
  write_file("plainfile", "x");
  EXPECT_EQ(make_path_directories("plainfile\\sub\\f"), 1);
  EXPECT_TRUE(is_existing_directory("C:"));
  EXPECT_EQ(find_last_backslash("a\\b\\c"), 3u);
}

TEST(SafePath, DropsDrivesRootsAndDotComponents) {
  EXPECT_EQ(make_safe_relative_name("docs\\a.txt"), "docs\\a.txt");
  EXPECT_EQ(make_safe_relative_name("..\\..\\evil"), "evil");
  EXPECT_EQ(make_safe_relative_name("\\etc\\passwd"), "etc\\passwd");
  EXPECT_EQ(make_safe_relative_name("C:\\x\\.\\y"), "x\\y");
  EXPECT_EQ(make_safe_relative_name("a/../../b"), "a\\b");
  EXPECT_EQ(make_safe_relative_name(".."), "");
}

}  // namespace
}  // namespace tarn
