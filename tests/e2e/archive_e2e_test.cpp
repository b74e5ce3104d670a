// Creating, testing and extracting archives through tarnc: round trips,
// selection, fatal errors, damaged and hostile archives, metadata.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "archive/stream_codec.h"
#include "pipeline/block_types.h"
#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

std::string pseudo_random_bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

std::string text_bytes(size_t n) {
  static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dogs\n"};
  std::string s;
  uint32_t x = 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 8];
  }
  s.resize(n);
  return s;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void make_tree(const Sandbox& box) {
  box.write("src/readme.txt", text_bytes(20000));
  box.write("src/empty.txt", "");
  box.write("src/noise.bin", pseudo_random_bytes(30000, 5));
  box.write("src/sub/notes.txt", text_bytes(5000) + "notes");
  box.write("src/sub/deeper/tiny.txt", "x");
  fs::create_directories(box.dir() / "src/sub/void");
}

void expect_same_tree(const Sandbox& box, const std::string& a, const std::string& b) {
  for (const char* f : {"readme.txt", "empty.txt", "noise.bin", "sub/notes.txt", "sub/deeper/tiny.txt"}) {
    EXPECT_EQ(box.read(a + "/" + f), box.read(b + "/" + f)) << f;
    EXPECT_TRUE(box.exists(b + "/" + f)) << f;
  }
}

TEST(RoundTripE2E, EveryMethodWithAndWithoutSolidBlocks) {
  Sandbox box;
  make_tree(box);
  const std::vector<std::vector<std::string>> switch_sets = {
      {"-m0"}, {"-mq"}, {"-mf", "-b"}, {"-mn", "-b", "-d"}, {"-ms", "-ftemsl"}};
  int n = 0;
  for (const auto& switches : switch_sets) {
    const std::string name = "r" + std::to_string(n++) + ".trn";
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

TEST(RoundTripE2E, PackedSingleFilesAndSolidGroupsDecode) {
  Sandbox box;
  // A file of two chunks, packed; a solid group of three members, packed.
  const std::string big = text_bytes(CHUNK_SIZE + 1000);
  const std::string m1 = text_bytes(3000), m2 = "second member", m3 = pseudo_random_bytes(700, 9);
  CodingSetup setup;
  setup.method = 1;  // the quickest model keeps the test short
  std::string big_piece;
  {
    StreamCodec codec(setup);
    ByteSink sink;
    codec.compress_chunk(std::vector<uint8_t>(big.begin(), big.begin() + CHUNK_SIZE), sink);
    codec.compress_chunk(std::vector<uint8_t>(big.begin() + CHUNK_SIZE, big.end()), sink);
    big_piece.assign(sink.bytes().begin(), sink.bytes().end());
  }
  const std::string group = m1 + m2 + m3;
  const auto group_piece = pack_group_stream(setup, std::vector<uint8_t>(group.begin(), group.end()));

  FileEntry big_entry = file_entry("big.txt", big, 0);
  big_entry.packed_size = static_cast<uint32_t>(big_piece.size());
  FileEntry head = file_entry("g\\one.txt", m1, 0);
  head.packed_size = static_cast<uint32_t>(group_piece.size());
  FileEntry two = file_entry("g\\two.txt", m2, FLAG_SOLID_CONTINUATION);
  two.offset = 3000;
  two.packed_size = 0;
  FileEntry three = file_entry("g\\three.bin", m3, FLAG_SOLID_CONTINUATION);
  three.offset = 3000 + static_cast<uint32_t>(m2.size());
  three.packed_size = 0;
  std::vector<RawEntry> entries = {{head, std::string(group_piece.begin(), group_piece.end())},
                                   {two, ""},
                                   {three, ""},
                                   {big_entry, big_piece}};
  box.write("p.trn", build_archive(entries, 1));

  RunResult r = box.tarnc({"t", "p.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(contains(r.out, "CRC")) << r.out;
  EXPECT_TRUE(contains(r.out, "Tested 4 file(s)"));

  r = box.tarnc({"x", "-oone", "p.trn", "*two*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "Decompressed 1 file(s)")) << r.out;
  EXPECT_EQ(box.read("one/g/two.txt"), m2);
  EXPECT_FALSE(box.exists("one/g/one.txt"));
  EXPECT_FALSE(box.exists("one/big.txt"));

  r = box.tarnc({"e", "-oall", "p.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.read("all/one.txt"), m1);
  EXPECT_EQ(box.read("all/three.bin"), m3);
  EXPECT_EQ(box.read("all/big.txt"), big);

  // The same pieces in an archive whose method byte names no model.
  box.write("m0.trn", build_archive(entries, 0));
  r = box.tarnc({"t", "m0.trn", "*"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: Header damage encountered!\n\n")) << r.out;

  // A member that lies beyond its group's bytes is reported, never read.
  three.offset = 1u << 30;
  entries[2].entry = three;
  box.write("beyond.trn", build_archive(entries, 1));
  r = box.tarnc({"t", "beyond.trn", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "\nSeveral CRC errors detected.\nTested 4 file(s)")) << r.out;

  // A piece cut short runs into the end of the archive.
  const std::string whole = box.read("p.trn");
  const size_t big_offset = 18 + group_piece.size();
  box.write("cut.trn", whole.substr(0, big_offset + 100));
  r = box.tarnc({"t", "cut.trn", "big.txt"});
  EXPECT_EQ(r.status, 1);
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
  r = box.tarnc({"c", "bad.trn", "s*/readme.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: Incorrect request!\n\n"));
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
  r = box.tarnc({"t", "d.trn", "@missing.lst"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: I/O error\n\n"));
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
  RunResult r = box.tarnc({"c", "old", "*.none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nScanning...\nFATAL: Nothing to do!\n\n")) << r.out;
  EXPECT_FALSE(box.exists("old.trn"));

  r = box.tarnc({"c", "-s", "sfx", "a.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: Unable to append SFX code!\n\n")) << r.out;
  EXPECT_FALSE(box.exists("sfx.exe"));

  r = box.tarnc({"c", "l.trn", "a.txt", "@nolist"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: I/O error\n\n"));
  EXPECT_FALSE(box.exists("l.trn"));

  r = box.tarnc({"c", "nodir/x.trn", "a.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: Cannot open archive!\n\n"));
}

TEST(FatalE2E, SizeLimitsAreCheckedBeforeAnyDataIsRead) {
  Sandbox box;
  // Sparse files: large on paper, nothing on disk.
  ASSERT_TRUE(box.sh("truncate -s 4G huge && truncate -s 1064304641 half1 && truncate -s 1064304640 half2"));
  RunResult r = box.tarnc({"c", "h", "huge"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nScanning...\nFATAL: Archive too big (max. 2 Gb)!\n\n")) << r.out;
  EXPECT_FALSE(box.exists("h.trn"));
  // 2,128,609,281 bytes in all: one more than the limit.
  r = box.tarnc({"c", "-m0", "t", "half*"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nScanning...\nFATAL: Archive too big (max. 2 Gb)!\n\n")) << r.out;
  EXPECT_FALSE(box.exists("t.trn"));
}

TEST(FatalE2E, SelfExtractingArchiveCarriesTheStub) {
  Sandbox box;
  box.write("a.txt", "abc");
  box.write("tarn32.sfx", std::string(1000, 'S'));
  RunResult r = box.tarnc({"c", "-s", "-m0", "data", "a.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  struct stat st;
  ASSERT_EQ(::stat(box.path("data.exe").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0100, 0u);
  EXPECT_EQ(box.read("data.exe").substr(0, 1000), std::string(1000, 'S'));
  r = box.tarnc({"x", "-oout", "data.exe", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.read("out/a.txt"), "abc");
#ifdef TARN_INSPECT_PATH
  r = box.run_program(TARN_INSPECT_PATH, {"data.exe"});
  EXPECT_TRUE(contains(r.out, "group 0 offset=1018 packed=3 size=3 stored=1 members=1\n")) << r.out;
#endif
  box.write("tarn32.sfx", std::string(SFX_STUB_LIMIT + 1, 'S'));
  r = box.tarnc({"c", "-s", "big", "a.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: SFX code too big!\n\n"));
  EXPECT_FALSE(box.exists("big.exe"));
}

TEST(DamageE2E, DamagedArchivesAreReportedAndLeftUntouched) {
  Sandbox box;
  box.write("a.txt", "some text");
  ASSERT_EQ(box.tarnc({"c", "-m0", "good", "a.txt"}).status, 0);
  const std::string good = box.read("good.trn");
  struct Case {
    std::string bytes;
    std::string message;
  };
  std::string version = good;
  version[4] = 0x76;
  std::string name = good;
  name.back() ^= 1;
  std::vector<Case> cases = {{version, "Archive created with other Tarn version!"},
                             {name, "Header damage encountered!"},
                             {good.substr(0, good.size() - 3), "I/O error"},
                             {std::string(5000, 'n'), "Not a Tarn archive!"}};
  for (const auto& c : cases) {
    box.write("bad.trn", c.bytes);
    for (const char* cmd : {"l", "t"}) {
      const RunResult r = box.tarnc({cmd, "bad.trn", "*"});
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.out, "\nFATAL: " + c.message + "\n\n")) << cmd << r.out;
      EXPECT_EQ(box.read("bad.trn"), c.bytes);
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
  EXPECT_TRUE(box.exists("a/b/out/rooted.txt"));
  EXPECT_TRUE(box.exists("a/b/out/drive.txt"));
  EXPECT_TRUE(box.exists("a/b/out/ok/x.txt"));
  EXPECT_FALSE(box.exists("a/evil.txt"));
  EXPECT_FALSE(box.exists("evil.txt"));

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
  r = box.tarnc({"x", "-oo2", "l.trn", "*"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "\nFATAL: I/O error\n\n"));
  EXPECT_FALSE(box.exists("outside/f.txt"));
}

TEST(MetadataE2E, TimesAndModesComeBack) {
  Sandbox box;
  box.write("plain.txt", "p");
  box.write("run.sh", "#!/bin/sh\n");
  box.write("ro.txt", "r");
  box.write("empty", "");
  ASSERT_TRUE(box.sh("touch -d '2003-11-01 12:00:00 UTC' plain.txt run.sh ro.txt empty && chmod 644 plain.txt "
                     "&& chmod 755 run.sh && chmod 444 ro.txt"));
  ASSERT_EQ(box.tarnc({"c", "-mq", "m", "*"}).status, 0);
  ASSERT_EQ(box.tarnc({"x", "-oout", "m", "*"}).status, 0);
  auto mode_of = [&](const char* f) {
    struct stat st;
    ::stat(box.path(f).c_str(), &st);
    return st;
  };
  for (const char* f : {"out/plain.txt", "out/run.sh", "out/ro.txt", "out/empty"})
    EXPECT_EQ(mode_of(f).st_mtime, 1067688000) << f;
  EXPECT_EQ(mode_of("out/run.sh").st_mode & 0777, 0755u);
  EXPECT_EQ(mode_of("out/ro.txt").st_mode & 0777, 0444u);
  EXPECT_EQ(mode_of("out/plain.txt").st_mode & 0200, 0200u);
  EXPECT_EQ(box.read("out/run.sh"), "#!/bin/sh\n");
}

}  // namespace
}  // namespace tarn::e2e
