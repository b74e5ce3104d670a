// Creating, testing and extracting archives through tarnc: round trips,
// selection, fatal errors, damaged and hostile archives.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/stream_codec.h"
#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

void make_tree(const Sandbox& box) {
  box.write("src/readme.txt", mixed_text(20000, 1));
  box.write("src/empty.txt", "");
  box.write("src/noise.bin", random_text(30000, 5));
  box.write("src/sub/notes.txt", mixed_text(5000, 2) + "notes");
  box.write("src/sub/deeper/tiny.txt", "x");
  fs::create_directories(box.dir() / "src/sub/void");
}

void expect_same_tree(const Sandbox& box, const std::string& a, const std::string& b) {
  for (const char* f : {"readme.txt", "empty.txt", "noise.bin", "sub/notes.txt", "sub/deeper/tiny.txt"}) {
    EXPECT_TRUE(box.exists(b + "/" + f) && box.read(a + "/" + f) == box.read(b + "/" + f)) << f;
  }
}

TEST(RoundTripE2E, EveryMethodWithAndWithoutSolidBlocks) {
  Sandbox box;
  make_tree(box);
  const std::vector<std::vector<std::string>> switch_sets = {
      {"-m0"}, {"-mq"}, {"-mf", "-b"}, {"-mn", "-b", "-d"}, {"-ms", "-ftemsl"}};
  int n = 0;
  for (const auto& switches : switch_sets) {
    std::string name = "r";
    name += std::to_string(n++);
    name += ".trn";
    std::vector<std::string> args = {"c", "-r"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back(name);
    args.push_back("src/*");
    RunResult r = box.tarnc(args);
    ASSERT_EQ(r.status, 0) << r.out;
    r = box.tarnc({"t", name, "*"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "CRC")) << r.out;
    const std::string out = "out" + std::to_string(n);
    r = box.tarnc({"x", "-o" + out, name, "*"});
    ASSERT_EQ(r.status, 0) << r.out;
    expect_same_tree(box, "src", out + "/src");
    EXPECT_EQ(fs::is_directory(box.dir() / out / "src/sub/void"), switches.back() == "-d");
  }
}

TEST(RoundTripE2E, SolidGroupMembersDecodeAloneAndDamagedGroupsAreReported) {
  Sandbox box;
  // A solid group of three members, packed by the quickest model.
  const std::string m1 = mixed_text(3000, 3), m2 = "second member", m3 = random_text(700, 9);
  CodingSetup setup;
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

  RunResult r = box.tarnc({"t", "p.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "\nTested 3 file(s)")) << r.out;
  r = box.tarnc({"x", "-oone", "p.trn", "*two*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "Decompressed 1 file(s)")) << r.out;
  EXPECT_EQ(box.read("one/g/two.txt"), m2);
  EXPECT_FALSE(box.exists("one/g/one.txt"));
  r = box.tarnc({"e", "-oall", "p.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.read("all/one.txt") + box.read("all/two.txt") + box.read("all/three.bin"), group);

  // The same pieces in an archive whose method byte names no model.
  box.write("m0.trn", build_archive(entries, 0));
  EXPECT_FATAL(box.tarnc({"t", "m0.trn", "*"}), "Header damage encountered!");
  // A member that lies beyond its group's bytes is reported, never read.
  entries[2].entry.offset = 1u << 30;
  box.write("beyond.trn", build_archive(entries, 1));
  r = box.tarnc({"t", "beyond.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "\nSeveral CRC errors detected.\nTested 3 file(s)")) << r.out;
  // A piece cut short runs into the end of the archive.
  box.write("cut.trn", box.read("p.trn").substr(0, 18 + piece.size() / 2));
  EXPECT_EQ(box.tarnc({"t", "cut.trn", "*"}).status, 1);
}

TEST(SelectionE2E, RecursionListFilesDuplicatesAndWildcards) {
  Sandbox box;
  make_tree(box);
  box.write("inner.lst", "src/sub/notes.txt\r\n\r\n");
  box.write("outer.lst", "src/readme.txt\r\n@inner.lst\r\n");
  RunResult r = box.tarnc({"c", "-m0", "l.trn", "@outer.lst", "src/readme.txt", "src/*.txt"});
  EXPECT_EQ(r.status, 0);
  // Two duplicate pairs, one warning.
  const std::string warning = "\nWARNING: scopes of different wildcards intersect!";
  EXPECT_EQ(r.out.find(warning), r.out.rfind(warning));
  EXPECT_TRUE(contains(r.out, "\nScanning..." + warning + "\nStoring 3 file(s)")) << r.out;

  r = box.tarnc({"l", "l.trn"});
  EXPECT_TRUE(contains(r.out, "src\\sub\\notes.txt \n")) << r.out;
  EXPECT_TRUE(contains(r.out, "3 file(s)"));

  // -r -d records directories; without -r the directory part must be literal.
  r = box.tarnc({"c", "-m0", "-r", "-d", "d.trn", "src\\sub\\"});
  EXPECT_EQ(r.status, 0);
  r = box.tarnc({"l", "d.trn"});
  EXPECT_TRUE(contains(r.out, "...D.   src\\sub\\void")) << r.out;
  EXPECT_TRUE(contains(r.out, "4 file(s)")) << r.out;
  EXPECT_FATAL(box.tarnc({"c", "bad.trn", "s*/readme.txt"}), "Incorrect request!");
  EXPECT_FALSE(box.exists("bad.trn"));

  // x makes the stored directory, e only shows it.
  r = box.tarnc({"x", "-ox", "d.trn", "*void"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::is_directory(box.dir() / "x/src/sub/void"));
  r = box.tarnc({"e", "-oe", "d.trn", "*void"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(box.exists("e/void"));

  // Extraction patterns from nested list files.
  box.write("pick.lst", "*tiny.txt\r\n@pick2.lst");
  box.write("pick2.lst", "*notes.txt\n");
  r = box.tarnc({"e", "-opicked", "d.trn", "@pick.lst"});
  EXPECT_TRUE(contains(r.out, "Decompressed 2 file(s)")) << r.out;
  EXPECT_TRUE(box.exists("picked/tiny.txt"));
  EXPECT_TRUE(box.exists("picked/notes.txt"));
  EXPECT_FATAL(box.tarnc({"t", "d.trn", "@missing.lst"}), "I/O error");
  EXPECT_TRUE(box.exists("d.trn"));
}

TEST(SelectionE2E, ArchiveBeingWrittenIsNotSelected) {
  Sandbox box;
  box.write("a.txt", "a");
  box.write("all.trn", "an older archive");
  const RunResult r = box.tarnc({"c", "-m0", "all", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "Storing 1 file(s)")) << r.out;
}

TEST(FatalE2E, ArchiveBeingCreatedIsDeletedEvenIfItExisted) {
  Sandbox box;
  box.write("a.txt", "a");
  box.write("old.trn", "precious");
  const RunResult r = box.tarnc({"c", "old", "*.none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nScanning...\nFATAL: Nothing to do!\n\n")) << r.out;
  EXPECT_FALSE(box.exists("old.trn"));
  EXPECT_FATAL(box.tarnc({"c", "-s", "sfx", "a.txt"}), "Unable to append SFX code!");
  EXPECT_FALSE(box.exists("sfx.exe"));
  EXPECT_FATAL(box.tarnc({"c", "l.trn", "a.txt", "@nolist"}), "I/O error");
  EXPECT_FALSE(box.exists("l.trn"));
  EXPECT_FATAL(box.tarnc({"c", "nodir/x.trn", "a.txt"}), "Cannot open archive!");
}

TEST(FatalE2E, SizeLimitsAreCheckedBeforeAnyDataIsRead) {
  Sandbox box;
  // Sparse files: large on paper, nothing on disk.
  ASSERT_TRUE(box.sh("truncate -s 4G huge && truncate -s 1064304641 half1 && truncate -s 1064304640 half2"));
  // The second: 2,128,609,281 bytes in all, one more than the limit.
  for (const auto& args : std::vector<std::vector<std::string>>{{"c", "h", "huge"}, {"c", "-m0", "t", "half*"}}) {
    const RunResult r = box.tarnc(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "\nScanning...\nFATAL: Archive too big (max. 2 Gb)!\n\n")) << r.out;
  }
  EXPECT_FALSE(box.exists("h.trn") || box.exists("t.trn"));
}

TEST(FatalE2E, SelfExtractingArchiveCarriesTheStub) {
  Sandbox box;
  box.write("a.txt", "abc");
  box.write("tarn32.sfx", std::string(1000, 'S'));
  RunResult r = box.tarnc({"c", "-s", "-m0", "data", "a.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(box.read("data.exe").substr(0, 1000), std::string(1000, 'S'));
#ifdef TARN_INSPECT_PATH
  r = box.run_program(TARN_INSPECT_PATH, {"data.exe"});
  EXPECT_TRUE(contains(r.out, "group 0 offset=1018 packed=3 size=3 stored=1 members=1\n")) << r.out;
#endif
  box.write("tarn32.sfx", std::string(SFX_STUB_LIMIT + 1, 'S'));
  EXPECT_FATAL(box.tarnc({"c", "-s", "big", "a.txt"}), "SFX code too big!");
  EXPECT_FALSE(box.exists("big.exe"));
}

TEST(DamageE2E, DamagedArchivesAreReportedAndLeftUntouched) {
  Sandbox box;
  box.write("a.txt", "some text");
  ASSERT_EQ(box.tarnc({"c", "-m0", "good", "a.txt"}).status, 0);
  const std::string good = box.read("good.trn");
  std::string version = good, name = good;
  version[4] = 0x76;
  name.back() ^= 1;
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
  std::string data = good;
  data[18] ^= 0x20;
  box.write("crc.trn", data);
  const RunResult r = box.tarnc({"x", "-oout", "crc.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "\nSeveral CRC errors detected.\nDecompressed 1 file(s) in ")) << r.out;
  EXPECT_EQ(box.read("out/a.txt"), "Some text");
}

TEST(SafetyE2E, NamesCannotLeaveTheOutputDirectory) {
  Sandbox box;
  std::vector<RawEntry> entries;
  for (const char* name : {"..\\..\\evil.txt", "\\rooted.txt", "C:\\drive.txt", "ok\\..\\..\\x.txt"})
    entries.push_back({file_entry(name, name), name});
  box.write("hostile.trn", build_archive(entries, 0));
  fs::create_directories(box.dir() / "a/b");
  RunResult r = box.run_program(TARNC_PATH, {"x", "-oa/b/out", "hostile.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "\nWARNING: unsafe path \"..\\..\\evil.txt\" written as \"evil.txt\"")) << r.out;
  EXPECT_EQ(box.read("a/b/out/evil.txt"), "..\\..\\evil.txt");
  EXPECT_TRUE(box.exists("a/b/out/rooted.txt") && box.exists("a/b/out/drive.txt") && box.exists("a/b/out/ok/x.txt"));
  EXPECT_FALSE(box.exists("a/evil.txt") || box.exists("evil.txt"));

  // A link as the file itself is replaced; a directory link leading out is refused.
  box.write("victim.txt", "keep");
  fs::create_directories(box.dir() / "o");
  fs::create_symlink("../victim.txt", box.dir() / "o/target.txt");
  box.write("t.trn", build_archive({{file_entry("target.txt", "new"), "new"}}, 0));
  r = box.tarnc({"x", "-oo", "t.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.read("victim.txt"), "keep");
  EXPECT_EQ(box.read("o/target.txt"), "new");
  EXPECT_FALSE(fs::is_symlink(box.dir() / "o/target.txt"));

  fs::create_directories(box.dir() / "outside");
  fs::create_directories(box.dir() / "o2");
  fs::create_symlink("../outside", box.dir() / "o2/link");
  box.write("l.trn", build_archive({{file_entry("link\\f.txt", "f"), "f"}}, 0));
  EXPECT_FATAL(box.tarnc({"x", "-oo2", "l.trn", "*"}), "I/O error");
  EXPECT_FALSE(box.exists("outside/f.txt"));
}

}  // namespace
}  // namespace tarn::e2e
