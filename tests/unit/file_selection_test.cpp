// Selecting files by wildcards and list files, sorting and de-duplicating
// them, matching stored names, and the names and directories extraction makes.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/wildcard.h"
#include "files/output_tree.h"
#include "files/pivot_generator.h"
#include "files/selection.h"
#include "files/sorts.h"
#include "platform/name_mask.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::error_of;
using testing::TempDir;
using testing::write_file;
using Names = std::vector<std::string>;

// Names in list order (from the head: reverse of discovery); what is left
// out is told to `events`.
Names select(const Names& args, SelectionOptions options = {}, SelectionEvents* events = nullptr) {
  FileList list;
  FileSelector selector(list, options, events);
  for (const auto& a : args) selector.expand_wildcard(a);
  Names names;
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

// What selection leaves out, as its events tell it: "<why> <name>: <reason>".
struct LeftOutRecord : SelectionEvents {
  void left_out(const std::string& name, LeftOutReason why, const std::string& reason) override {
    const char* kind = why == LeftOutReason::NAME_HOLDS_SEPARATOR ? "separator"
                       : why == LeftOutReason::CANNOT_OPEN        ? "cannot open"
                       : why == LeftOutReason::DIRECTORY_UNREADABLE ? "unreadable"
                                                                    : "no match";
    told.push_back(std::string(kind) + " " + name + (reason.empty() ? "" : ": " + reason));
  }
  Names told;
};

TEST(FileSelection, WhatIsLeftOutIsToldOnceWithItsReason) {
  TempDir dir;
  make_tree();
  // A backslash in a name would store it as a path: the file is left out,
  // a directory with everything below it, each told once.
  write_file("a\\b.txt", "ab");
  write_file("x\\y/f.txt", "f");
  std::filesystem::create_symlink("gone.txt", "dangling.txt");
  LeftOutRecord r;
  EXPECT_EQ(discovery(select({"*.txt"}, {true, false}, &r)),
            (Names{"a.txt", "b.txt", "docs\\x.txt", "docs\\sub\\y.txt"}));
  EXPECT_EQ(r.told, (Names{"separator a\\b.txt", "cannot open dangling.txt: No such file or directory",
                           "separator x\\y"}));
  // A wildcard that reaches nothing, a directory named without -r, a
  // directory that is not there (told as such, not also as no match).
  r.told.clear();
  EXPECT_TRUE(select({"*.none", "docs", "nodir/*.txt"}, {}, &r).empty());
  EXPECT_EQ(r.told, (Names{"no match *.none", "no match docs", "unreadable nodir/: No such file or directory"}));
  // The files a wildcard selects or leaves out with a note count as reached.
  r.told.clear();
  select({"a*.txt", "dangling.txt"}, {}, &r);
  EXPECT_EQ(r.told, (Names{"separator a\\b.txt", "cannot open dangling.txt: No such file or directory"}));
}

TEST(FileSelection, PathsTooLongForTheSystemAreLeftOutWithANote) {
  TempDir dir;
  // Directories nested past the path limit, made one step at a time.
  const std::string part(200, 'p');
  std::string made = "deep";
  std::filesystem::create_directory(made);
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(::chdir(made.c_str()), 0);
    std::filesystem::create_directory(part);
    made = part;
  }
  write_file(part + "/f.txt", "f");
  std::filesystem::current_path(dir.path());
  LeftOutRecord r;
  const Names names = select({"deep/"}, {true, true}, &r);
  ASSERT_EQ(r.told.size(), 1u);
  EXPECT_TRUE(r.told[0].starts_with("cannot open deep/" + part + "/")) << r.told[0].substr(0, 220);
  EXPECT_TRUE(r.told[0].ends_with(": File name too long")) << r.told[0].substr(r.told[0].size() - 60);
  EXPECT_FALSE(names.empty());  // the directories that fit are recorded
  // Removed from the inside out: the path is too long to name at once.
  ASSERT_TRUE(std::system("rm -rf deep") == 0);
}

TEST(FileSelection, FilesTooBigForTheFormatAreNamedAndNotRead) {
  TempDir dir;
  // Sparse: 5 GiB that take no room, and would take minutes to read.
  write_file("big.bin", "");
  std::filesystem::resize_file("big.bin", 5ull << 30);
  try {
    select({"*.bin"});
    ADD_FAILURE() << "selected";
  } catch (const TarnError& e) {
    EXPECT_EQ(e.code(), ErrorCode::ARCHIVE_TOO_BIG);
    EXPECT_EQ(e.detail(), "big.bin: 4 GiB or more, too big for an archive");
  }
}

TEST(FileSelection, UnreadableFilesAreLeftOutWithTheSystemsReason) {
  TempDir dir;
  write_file("open.txt", "o");
  write_file("closed.txt", "c");
  namespace fs = std::filesystem;
  const fs::perms readable = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read;
  fs::permissions("open.txt", readable);
  fs::permissions("closed.txt", fs::perms::none);
  auto only_the_open_one = [] {
    try {
      LeftOutRecord r;
      return select({"*.txt"}, {}, &r) == Names{"open.txt"} &&
             r.told == Names{"cannot open closed.txt: Permission denied"};
    } catch (...) {
      return false;
    }
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(only_the_open_one());
    return;
  }
  // Root reads every file: the selection runs in a child that gives up root
  // for the unprivileged user and group 65534 and reports through its exit
  // status (2: it could not drop the privileges).
  fs::permissions(dir.path(), readable | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(only_the_open_one() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << (WEXITSTATUS(status) == 2 ? "could not drop root" : "closed.txt selected");
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


// Entries with the given names, and pointers to them as the sorts take them.
struct Entries {
  std::vector<FileEntry> entries;
  std::vector<FileEntry*> v;
  explicit Entries(const std::vector<std::string>& names) {
    for (const auto& n : names) entries.push_back(FileEntry{n});
    for (auto& e : entries) v.push_back(&e);
  }
};

TEST(PivotGenerator, DrawsTheFixedSequenceFromStateOne) {
  PivotGenerator g;
  for (uint32_t e : {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358}) EXPECT_EQ(g.next(), e);
}

TEST(SortByName, UsesSignedBytesWithTheEndOfNameAsZero) {
  Entries example({"a!", "a", std::string("a\xE9")});
  PivotGenerator g;
  sort_entries_by_name(example.v, g);
  EXPECT_EQ(example.v[0]->name, std::string("a\xE9"));
  EXPECT_EQ(example.v[1]->name, "a");
  EXPECT_EQ(example.v[2]->name, "a!");

  // And on many names it agrees with a signed comparison.
  std::vector<std::string> names;
  testdata::Lcg rng(7);
  for (int i = 0; i < 400; ++i) {
    std::string s;
    const uint32_t length = 1 + rng.next() % 5;
    for (uint32_t k = 0; k < length; ++k) s += "ab\\.\xE0Z"[rng.next() % 6];
    names.push_back(s);
  }
  Entries many(names);
  sort_entries_by_name(many.v, g);
  auto signed_less = [](const std::string& a, const std::string& b) {
    for (size_t i = 0;; ++i) {
      const int ca = i < a.size() ? static_cast<signed char>(a[i]) : 0;
      const int cb = i < b.size() ? static_cast<signed char>(b[i]) : 0;
      if (ca != cb) return ca < cb;
      if (ca == 0) return false;
    }
  };
  for (size_t i = 1; i < many.v.size(); ++i) EXPECT_FALSE(signed_less(many.v[i]->name, many.v[i - 1]->name)) << i;
}

TEST(RemoveDuplicates, KeepsTheLastOfEachRunAndReportsOnce) {
  Entries dups({"a", "a", "a", "b", "c", "c"});
  EXPECT_TRUE(remove_duplicate_entries(dups.v));
  std::vector<std::string> left;
  for (auto* e : dups.v) left.push_back(e ? e->name : "-");
  EXPECT_EQ(left, (std::vector<std::string>{"-", "-", "a", "b", "-", "c"}));
  EXPECT_EQ(dups.v[2], &dups.entries[2]);
  Entries distinct({"a", "A", "b"});
  EXPECT_FALSE(remove_duplicate_entries(distinct.v));
}

TEST(SortByKey, OrdersByUnsignedKey) {
  Entries keyed(std::vector<std::string>(50));
  testdata::Lcg rng(99);
  for (auto& e : keyed.entries) e.crc = rng.next() % 7 == 0 ? 0xFFFFFFF0u : rng.next() % 1000;
  PivotGenerator g;
  sort_entries_by_key(keyed.v, g);
  for (size_t i = 1; i < keyed.v.size(); ++i) EXPECT_LE(keyed.v[i - 1]->crc, keyed.v[i]->crc);
}

}  // namespace
}  // namespace tarn
