// Creating, testing and extracting archives through tarnc: solid groups,
// selection, fatal errors, damaged and hostile archives.
#include <gtest/gtest.h>

#include <filesystem>

#include "stream/stream_codec.h"
#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

TEST(RoundTripE2E, SolidGroupMembersDecodeAloneAndDamagedGroupsAreReported) {
  Sandbox box;
  // A solid group of three members, packed by the quickest model.
  const std::string m1 = mixed_text(3000, 3), m2 = "second member", m3 = random_text(700, 9);
  CodingOptions setup;
  setup.method = 1;
  const std::string group = m1 + m2 + m3;
  const auto piece = pack_group_stream(setup, std::vector<uint8_t>(group.begin(), group.end()));
  FileEntry head = file_entry("g\\one.txt", m1, 0);
  head.packed_size = static_cast<uint32_t>(piece.size());
  FileEntry two = file_entry("g\\two.txt", m2, FLAG_SOLID_CONTINUATION);
  two.offset = 3000;
  FileEntry three = file_entry("g\\three.bin", m3, FLAG_SOLID_CONTINUATION);
  three.offset = 3000 + static_cast<uint32_t>(m2.size());
  std::vector<RawEntry> entries = {{head, std::string(piece.begin(), piece.end())}, {two, ""}, {three, ""}};
  box.write("p.trn", build_archive(entries, 1));

  EXPECT_RUN(box.tarnc({"t", "p.trn", "*"}), 0, "\nTested 3 file(s)");
  EXPECT_RUN(box.tarnc({"x", "-oone", "p.trn", "*two*"}), 0, "Decompressed 1 file(s)");
  EXPECT_EQ(box.read("one/g/two.txt"), m2);
  EXPECT_FALSE(box.exists("one/g/one.txt"));
  EXPECT_EQ(box.tarnc({"e", "-oall", "p.trn", "*"}).status, 0);
  EXPECT_EQ(box.read("all/one.txt") + box.read("all/two.txt") + box.read("all/three.bin"), group);

  // The same pieces in an archive whose method byte names no model.
  box.write("m0.trn", build_archive(entries, 0));
  EXPECT_FATAL(box.tarnc({"t", "m0.trn", "*"}), "Header damage encountered!");
  // A member that lies beyond its group's bytes is reported, never read.
  entries[2].entry.offset = 1u << 30;
  box.write("beyond.trn", build_archive(entries, 1));
  EXPECT_RUN(box.tarnc({"t", "beyond.trn", "*"}), 0, "\nSeveral CRC errors detected.\nTested 3 file(s)");
  // A piece cut short runs into the end of the archive.
  box.write("cut.trn", box.read("p.trn").substr(0, 18 + piece.size() / 2));
  EXPECT_EQ(box.tarnc({"t", "cut.trn", "*"}).status, 1);

  // Streams that decode to more than their entries hold: every entry of the
  // piece is reported although its own bytes are right, and a single file
  // keeps only the bytes of its size.
  const std::string longer = group + "surplus";
  const auto long_piece = pack_group_stream(setup, std::vector<uint8_t>(longer.begin(), longer.end()));
  entries[0].data.assign(long_piece.begin(), long_piece.end());
  entries[0].entry.packed_size = static_cast<uint32_t>(long_piece.size());
  entries[2].entry.offset = three.offset;
  FileEntry single = file_entry("single.txt", m1, 0);
  single.packed_size = entries[0].entry.packed_size;
  entries.push_back({single, entries[0].data});
  box.write("long.trn", build_archive(entries, 1));
  const RunResult r = box.tarnc({"x", "-olong", "long.trn", "*"});
  EXPECT_RUN(r, 0, "\nSeveral CRC errors detected.\nDecompressed 4 file(s)");
  for (const char* name : {"g\\one.txt", "g\\two.txt", "g\\three.bin", "single.txt"})
    EXPECT_TRUE(contains(r.err, std::string("CRC error: ") + name)) << name << r.err;
  EXPECT_EQ(box.read("long/g/two.txt"), m2);
  EXPECT_EQ(box.read("long/single.txt"), m1);
}

TEST(SelectionE2E, RecursionListFilesDuplicatesAndWildcards) {
  Sandbox box;
  for (const char* name : {"src/readme.txt", "src/empty.txt", "src/sub/notes.txt", "src/sub/deeper/tiny.txt"})
    box.write(name, name);
  fs::create_directories(box.dir() / "src/sub/void");
  box.write("inner.lst", "src/sub/notes.txt\r\n\r\n");
  box.write("outer.lst", "src/readme.txt\r\n@inner.lst\r\n");
  // Two duplicate pairs, one warning.
  const std::string warning = "\nWARNING: scopes of different wildcards intersect!";
  RunResult r = box.tarnc({"c", "-m0", "l.trn", "@outer.lst", "src/readme.txt", "src/*.txt"});
  EXPECT_RUN(r, 0, "\nScanning..." + warning + "\nStoring 3 file(s)");
  EXPECT_EQ(r.out.find(warning), r.out.rfind(warning));
  r = box.tarnc({"l", "l.trn"});
  EXPECT_RUN(r, 0, "src\\sub\\notes.txt \n");
  EXPECT_TRUE(contains(r.out, "3 file(s)")) << r.out;
  // The archive being written is not selected, even when it exists.
  EXPECT_RUN(box.tarnc({"c", "-m0", "l", "*"}), 0, "Storing 2 file(s)");

  // -r -d records directories; without -r the directory part must be literal.
  ASSERT_EQ(box.tarnc({"c", "-m0", "-r", "-d", "d.trn", "src\\sub\\"}).status, 0);
  r = box.tarnc({"l", "d.trn"});
  EXPECT_RUN(r, 0, "...D.   src\\sub\\void");
  EXPECT_TRUE(contains(r.out, "4 file(s)")) << r.out;
  EXPECT_FATAL(box.tarnc({"c", "bad.trn", "s*/readme.txt"}), "Incorrect request!");
  EXPECT_FALSE(box.exists("bad.trn"));

  // x makes the stored directory, e only shows it.
  EXPECT_EQ(box.tarnc({"x", "-ox", "d.trn", "*void"}).status, 0);
  EXPECT_TRUE(fs::is_directory(box.dir() / "x/src/sub/void"));
  EXPECT_EQ(box.tarnc({"e", "-oe", "d.trn", "*void"}).status, 0);
  EXPECT_FALSE(box.exists("e/void"));

  // Extraction patterns from nested list files.
  box.write("pick.lst", "*tiny.txt\r\n@pick2.lst");
  box.write("pick2.lst", "*notes.txt\n");
  EXPECT_RUN(box.tarnc({"e", "-opicked", "d.trn", "@pick.lst"}), 0, "Decompressed 2 file(s)");
  EXPECT_TRUE(box.exists("picked/tiny.txt") && box.exists("picked/notes.txt"));
  EXPECT_FATAL(box.tarnc({"t", "d.trn", "@missing.lst"}), "I/O error");
  EXPECT_TRUE(box.exists("d.trn"));
}

// Any stub of an allowed size goes in front of the archive (the failures of
// creation, a missing or too large stub among them: unhappy_paths_e2e_test).
TEST(SfxStubE2E, AnyStubOfAnAllowedSizeGoesInFront) {
  Sandbox box;
  box.write("a.txt", "abc");
  box.write("tarn32.sfx", std::string(1000, 'S'));
  ASSERT_EQ(box.tarnc({"c", "-s", "-m0", "data", "a.txt"}).status, 0);
  EXPECT_EQ(box.read("data.exe").substr(0, 1000), std::string(1000, 'S'));
  EXPECT_RUN(box.run_program(TARN_INSPECT_PATH, {"data.exe"}, true), 0,
             "group 0 offset=1018 packed=3 size=3 stored=1 members=1\n");
}

TEST(DamageE2E, DamagedArchivesAreReportedAndLeftUntouched) {
  Sandbox box;
  box.write("a.txt", "some text");
  ASSERT_EQ(box.tarnc({"c", "-m0", "good", "a.txt"}).status, 0);
  const std::string good = box.read("good.trn");
  std::string version = good, name = good, data = good;
  version[4] = 0x76;
  name.back() ^= 1;
  data[18] ^= 0x20;
  for (const auto& [bytes, message] : std::vector<std::pair<std::string, std::string>>{
           {version, "Archive created with other Tarn version!"},
           {name, "Header damage encountered!"},
           {good.substr(0, good.size() - 3), "I/O error"},
           {std::string(5000, 'n'), "Not a Tarn archive!"}}) {
    box.write("bad.trn", bytes);
    for (const char* cmd : {"l", "t"}) {
      EXPECT_FATAL(box.tarnc({cmd, "bad.trn", "*"}), message);
      EXPECT_EQ(box.read("bad.trn"), bytes);
    }
  }
  // The listing stops before any row; the information screen does not read the table.
  box.write("bad.trn", name);
  EXPECT_EQ(box.tarnc({"l", "bad.trn"}).out, banner() + "Initializing...\n\n\nFATAL: Header damage encountered!\n\n");
  EXPECT_EQ(box.tarnc({"i", "bad.trn"}).status, 0);

  // A damaged stored piece: the file is written all the same, the run goes on.
  box.write("crc.trn", data);
  EXPECT_RUN(box.tarnc({"x", "-oout", "crc.trn", "*"}), 0, "\nSeveral CRC errors detected.\nDecompressed 1 file(s) in ");
  EXPECT_EQ(box.read("out/a.txt"), "Some text");
}

TEST(SafetyE2E, NamesCannotLeaveTheOutputDirectory) {
  Sandbox box;
  std::vector<RawEntry> entries;
  for (const char* name : {"..\\..\\evil.txt", "\\rooted.txt", "C:\\drive.txt", "ok\\..\\..\\x.txt"})
    entries.push_back({file_entry(name, name), name});
  box.write("hostile.trn", build_archive(entries, 0));
  fs::create_directories(box.dir() / "a/b");
  EXPECT_RUN(box.tarnc({"x", "-oa/b/out", "hostile.trn", "*"}), 0,
             "\nWARNING: unsafe path \"..\\..\\evil.txt\" written as \"evil.txt\"");
  EXPECT_EQ(box.read("a/b/out/evil.txt"), "..\\..\\evil.txt");
  EXPECT_TRUE(box.exists("a/b/out/rooted.txt") && box.exists("a/b/out/drive.txt") && box.exists("a/b/out/ok/x.txt"));
  EXPECT_FALSE(box.exists("a/evil.txt") || box.exists("evil.txt"));
}

TEST(SafetyE2E, LinksOnTheOutputPathAreNeverFollowed) {
  // Wine shows a Unix symbolic link to a file as the file itself, not as a
  // reparse point, so a Windows build under wine cannot tell it from a file.
  SKIP_ON_WINDOWS("symbolic links");
  Sandbox box;
  // A link as the file itself is replaced.
  box.write("victim.txt", "keep");
  fs::create_directories(box.dir() / "o");
  fs::create_symlink("../victim.txt", box.dir() / "o/target.txt");
  box.write("t.trn", build_archive({{file_entry("target.txt", "new"), "new"}}, 0));
  EXPECT_EQ(box.tarnc({"x", "-oo", "t.trn", "*"}).status, 0);
  EXPECT_EQ(box.read("victim.txt"), "keep");
  EXPECT_EQ(box.read("o/target.txt"), "new");
  EXPECT_FALSE(fs::is_symlink(box.dir() / "o/target.txt"));

  // A directory of the path that is a link fails its entry with a note and
  // the run goes on: a link to a sibling, one whose name merely begins with
  // the output directory's, one up and out ("up -> .."), and one that stays
  // inside the output directory ("alias -> real") alike.
  for (const char* d : {"outside", "o2x", "o2/real"}) fs::create_directories(box.dir() / d);
  fs::create_symlink("../outside", box.dir() / "o2/link");
  fs::create_symlink("../o2x", box.dir() / "o2/near");
  fs::create_symlink("..", box.dir() / "o2/up");
  fs::create_symlink("real", box.dir() / "o2/alias");
  for (const char* name : {"link\\f.txt", "near\\f.txt", "up\\f.txt", "up\\o2\\real\\f.txt", "alias\\f.txt"}) {
    SCOPED_TRACE(name);
    box.write("l.trn", build_archive({{file_entry(name, "f"), "f"}, {file_entry("after.txt", "after"), "after"}}, 0));
    const RunResult r = box.tarnc({"x", "-oo2", "l.trn", "*"});
    EXPECT_RUN(r, 0, "\nDecompressed 2 file(s) in ");
    EXPECT_TRUE(contains(r.err, "tarnc: skipped " + std::string(name) + ": a link is on its path")) << r.err;
    EXPECT_EQ(box.read("o2/after.txt"), "after");
    fs::remove(box.dir() / "o2/after.txt");
  }
  for (const char* f : {"outside/f.txt", "o2x/f.txt", "f.txt", "o2/real/f.txt"}) EXPECT_FALSE(box.exists(f)) << f;

  // A directory entry reached through such a link is refused as well, and
  // its stored mode never reaches the link's target.
  fs::permissions(box.dir() / "outside", fs::perms(0755));
  fs::permissions(box.dir() / "o2/real", fs::perms(0755));
  for (const char* name : {"link", "link\\sub", "alias", "up\\outside"}) {
    FileEntry dir = file_entry(name, "", 0);
    dir.attributes = 0x10 | (0700u << 16);
    box.write("d.trn", build_archive({{dir, ""}}, 0));
    const RunResult r = box.tarnc({"x", "-oo2", "d.trn", "*"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.err, ": a link is on its path")) << name << r.err;
    EXPECT_EQ(fs::status(box.dir() / "outside").permissions() & fs::perms::all, fs::perms(0755)) << name;
    EXPECT_EQ(fs::status(box.dir() / "o2/real").permissions() & fs::perms::all, fs::perms(0755)) << name;
    EXPECT_FALSE(box.exists("outside/sub")) << name;
  }
}

}  // namespace
}  // namespace tarn::e2e
