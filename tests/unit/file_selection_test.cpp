#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/safe_path.h"
#include "archive/wildcard_list.h"
#include "common/error.h"
#include "files/output_dirs.h"
#include "files/selection.h"
#include "platform/name_mask.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testing::TempDir;
using testing::write_file;

// Names in list order (from the head: reverse of discovery).
std::vector<std::string> select(const std::vector<std::string>& args, SelectionOptions options = {}) {
  FileList list;
  FileSelector selector(list, options);
  for (const auto& a : args) selector.expand_wildcard(a);
  std::vector<std::string> names;
  for (const auto& e : list.entries()) names.push_back(e.name);
  return names;
}

std::vector<std::string> discovery(std::vector<std::string> names) { return {names.rbegin(), names.rend()}; }

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
  EXPECT_EQ(discovery(select({"*.txt"})), (std::vector<std::string>{"a.txt", "b.txt"}));
  // A directory without a trailing separator and without -r selects nothing.
  EXPECT_TRUE(select({"docs"}).empty());
  // A trailing separator selects the directory's files, nothing below.
  EXPECT_EQ(select({"docs/"}), (std::vector<std::string>{"docs\\x.txt"}));
  EXPECT_EQ(select({"docs\\"}), (std::vector<std::string>{"docs\\x.txt"}));
  EXPECT_TRUE(select({"*.none"}).empty());
}

TEST(FileSelection, RecursionIsDepthFirstAndDirectoriesRecordedWithD) {
  TempDir dir;
  make_tree();
  EXPECT_EQ(discovery(select({"*.txt"}, {true, false})),
            (std::vector<std::string>{"a.txt", "b.txt", "docs\\x.txt", "docs\\sub\\y.txt"}));
  EXPECT_EQ(discovery(select({"docs\\"}, {true, true})),
            (std::vector<std::string>{"docs\\x.txt", "docs\\sub", "docs\\sub\\y.txt", "docs\\sub\\z.dat"}));
  // -d alone does nothing.
  EXPECT_EQ(select({"docs\\"}, {false, true}), (std::vector<std::string>{"docs\\x.txt"}));

  FileList list;
  FileSelector(list, {true, true}).expand_wildcard("*.dat");
  const auto& entries = list.entries();
  bool saw_empty = false;
  for (const auto& e : entries) {
    if (e.name == "empty") {
      saw_empty = true;
      EXPECT_TRUE(e.is_directory());
      EXPECT_EQ(e.size, 0u);
    }
  }
  EXPECT_TRUE(saw_empty);
}

TEST(FileSelection, WildcardInDirectoryPartIsIncorrectRequest) {
  TempDir dir;
  make_tree();
  try {
    select({"d*\\x.txt"});
    FAIL();
  } catch (const TarnError& e) {
    EXPECT_EQ(e.code(), ErrorCode::INCORRECT_REQUEST);
  }
}

TEST(FileSelection, ListFilesNestAndSkipEmptyLines) {
  TempDir dir;
  make_tree();
  write_file("inner.lst", "c.dat\r\n\r\ndocs/x.txt");
  write_file("outer.lst", "a.txt\r\n\r\n@inner.lst\n");
  EXPECT_EQ(discovery(select({"@outer.lst"})), (std::vector<std::string>{"a.txt", "c.dat", "docs\\x.txt"}));
  try {
    select({"@"});
    FAIL();
  } catch (const TarnError& e) {
    EXPECT_EQ(e.code(), ErrorCode::IO_ERROR);
  }
}

TEST(FileSelection, UnreadableFilesAreLeftOutSilently) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  TempDir dir;
  write_file("open.txt", "o");
  write_file("closed.txt", "c");
  std::filesystem::permissions("closed.txt", std::filesystem::perms::none);
  EXPECT_EQ(select({"*.txt"}), (std::vector<std::string>{"open.txt"}));
}

TEST(FileSelection, AttributesCarryNonDefaultModes) {
  TempDir dir;
  write_file("plain", "p");
  write_file("run.sh", "r");
  write_file(".hidden", "h");
  std::filesystem::permissions("plain", std::filesystem::perms(0644));
  std::filesystem::permissions(".hidden", std::filesystem::perms(0644));
  std::filesystem::permissions("run.sh", std::filesystem::perms(0755));
  FileList list;
  FileSelector(list, {}).expand_wildcard("*");
  for (const auto& e : list.entries()) {
    if (e.name == "plain") { EXPECT_EQ(e.attributes, 0x20u); }
    if (e.name == ".hidden") { EXPECT_EQ(e.attributes, 0x22u); }
    if (e.name == "run.sh") { EXPECT_EQ(e.attributes, 0x20u | (0100755u << 16)); }
  }
  EXPECT_EQ(list.count(), 3u);
}

TEST(WildcardMatch, ComparesBytesExactly) {
  EXPECT_TRUE(wildcard_match("docs\\a.txt", "*.txt"));
  EXPECT_FALSE(wildcard_match("a.txt", "A*"));
  EXPECT_FALSE(wildcard_match("a.txt", "*.TXT"));
  EXPECT_TRUE(wildcard_match("a.txt", "*"));
  EXPECT_TRUE(wildcard_match("", "*"));
  EXPECT_TRUE(wildcard_match("abc", "a?c"));
  EXPECT_FALSE(wildcard_match("ab", "ab?"));
  EXPECT_TRUE(wildcard_match("aXbXc", "a**b*c"));
  EXPECT_FALSE(wildcard_match("abcd", "a*c"));
  EXPECT_TRUE(wildcard_match("docs\\sub\\a", "docs\\*"));
}

TEST(NameMask, StarDotStarMatchesEveryNameOthersAreByteExact) {
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
