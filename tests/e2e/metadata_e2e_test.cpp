// Metadata through an archive: attribute bits and POSIX modes as stored,
// clamped times, what extraction restores and what it never restores, and
// which kinds of file system objects are archived at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

// The table of an archive in the sandbox, by stored name.
std::map<std::string, FileEntry> table_of(const Sandbox& box, const std::string& archive) {
  std::map<std::string, FileEntry> table;
  const FileList list = testing::read_table(box.path(archive));
  for (const auto& e : list.entries()) table[e.name] = e;
  return table;
}

struct stat stat_of(const Sandbox& box, const std::string& rel) {
  struct stat st {};
  ::lstat(box.path(rel).c_str(), &st);
  return st;
}

TEST(MetadataE2E, TimesOutsideTheDosRangeAreClampedAndDosReadOnlyIsRestored) {
  Sandbox box;
  box.write("old.txt", "old");
  box.write("future.txt", "future");
  ASSERT_TRUE(box.sh("touch -d '1975-06-15 10:20:30 UTC' old.txt && touch -d '2150-01-01 00:00:00 UTC' future.txt"));
  ASSERT_EQ(box.tarnc({"c", "-m0", "times", "*.txt"}).status, 0);
  ASSERT_EQ(box.tarnc({"x", "-oout", "times", "*"}).status, 0);
  EXPECT_EQ(stat_of(box, "out/old.txt").st_mtime, 315532800);      // 1980-01-01 00:00:00 UTC
  EXPECT_EQ(stat_of(box, "out/future.txt").st_mtime, 4354819198);  // 2107-12-31 23:59:58 UTC

  // A read-only entry as an archive made on another system records it,
  // with only the DOS bits, loses its write bits and still gets its time.
  FileEntry entry = file_entry("dosro.txt", "data");
  entry.attributes = ATTR_ARCHIVE | ATTR_READ_ONLY;
  box.write("dos.trn", build_archive({{entry, "data"}}, 0));
  ASSERT_EQ(box.tarnc({"x", "-oout", "dos", "*"}).status, 0);
  EXPECT_EQ(stat_of(box, "out/dosro.txt").st_mode & 0222, 0u);
  EXPECT_EQ(stat_of(box, "out/dosro.txt").st_mtime, 1067688000);
  EXPECT_EQ(box.read("out/dosro.txt"), "data");
}

TEST(MetadataE2E, ModesAreKeptOnlyWhenNotPlainAndSetIdBitsNeverReturn) {
  Sandbox box;
  for (const char* f : {"plain.txt", "tool", "setid", "ro.txt", ".dot", "d/open/a", "d/closed/b"}) box.write(f, f);
  box.write("empty", "");
  ASSERT_TRUE(box.sh("touch -d '2003-11-01 12:00:00 UTC' plain.txt tool setid ro.txt .dot empty && "
                     "chmod 644 plain.txt .dot empty d/open/a d/closed/b && chmod 750 tool && chmod 6755 setid && "
                     "chmod 444 ro.txt && chmod 755 d d/open && chmod 710 d/closed"));
  ASSERT_EQ(box.tarnc({"c", "-mq", "-r", "-d", "m", "*"}).status, 0);
  // A Windows build keeps the DOS bits alone.
  const auto mode = [](uint32_t m) { return on_windows() ? 0u : m << 16; };
  constexpr uint32_t R = ATTR_READ_ONLY, H = ATTR_HIDDEN, D = ATTR_DIRECTORY, A = ATTR_ARCHIVE;
  std::map<std::string, uint32_t> attributes;
  for (const auto& [name, e] : table_of(box, "m.trn")) attributes[name] = e.attributes;
  EXPECT_EQ(attributes, (std::map<std::string, uint32_t>{
                            {"plain.txt", A}, {".dot", A | H}, {"empty", A},
                            {"tool", A | mode(0100750)}, {"setid", A | mode(0106755)},
                            {"ro.txt", A | R | mode(0100444)}, {"d", D}, {"d\\open", D},
                            {"d\\open\\a", A}, {"d\\closed", D | mode(040710)}, {"d\\closed\\b", A}}));

  ASSERT_EQ(box.tarnc({"x", "-oout", "m", "*"}).status, 0);
  for (const char* f : {"out/plain.txt", "out/tool", "out/ro.txt", "out/empty"})
    EXPECT_EQ(stat_of(box, f).st_mtime, 1067688000) << f;
  EXPECT_EQ(box.read("out/tool"), "tool");
  EXPECT_EQ(box.read("out/d/closed/b"), "d/closed/b");
  EXPECT_EQ(stat_of(box, "out/plain.txt").st_mode & 0200, 0200u);
  SKIP_ON_WINDOWS("permission bits restored");  // the attributes above hold on Windows too
  EXPECT_EQ(stat_of(box, "out/tool").st_mode & 07777, 0750u);
  EXPECT_EQ(stat_of(box, "out/setid").st_mode & 07777, 0755u);
  EXPECT_EQ(stat_of(box, "out/ro.txt").st_mode & 07777, 0444u);
  EXPECT_EQ(stat_of(box, "out/d/closed").st_mode & 07777, 0710u);
  EXPECT_EQ(stat_of(box, "out/d/open").st_mode & 07777, 0755u);
}

// Under wine the links and the fifo look as wine presents them to a Windows
// program: the table must come out the same.
TEST(MetadataE2E, LinksAreFollowedToFilesOnlyAndSpecialFilesLeftOut) {
  Sandbox box;
  box.write("tree/real.txt", "real");
  box.write("elsewhere/inner.txt", "inner");
  fs::create_symlink("real.txt", box.dir() / "tree/link.txt");
  fs::create_directory_symlink("../elsewhere", box.dir() / "tree/dirlink");
  fs::create_directory_symlink("..", box.dir() / "tree/loop");
  ASSERT_TRUE(box.sh("mkfifo tree/fifo"));
  ASSERT_EQ(box.tarnc({"c", "-r", "-d", "links", "tree/"}).status, 0);
  std::vector<std::string> names;
  for (const auto& [name, e] : table_of(box, "links.trn")) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"tree\\link.txt", "tree\\real.txt"}));
  ASSERT_EQ(box.tarnc({"x", "-oout", "links", "*"}).status, 0);
  EXPECT_FALSE(fs::is_symlink(box.dir() / "out/tree/link.txt"));
  EXPECT_EQ(box.read("out/tree/link.txt"), "real");
}

}  // namespace
}  // namespace tarn::e2e
