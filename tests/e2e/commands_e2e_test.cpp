// The command line, the screens and the exact transcripts of every command.
#include <gtest/gtest.h>

#include <cmath>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

std::string pad(const std::string& s, size_t width) { return s + std::string(width - s.size(), ' '); }
std::string progress(const std::string& name) { return "\r -> " + pad(name, 50) + " "; }
// The listing screen around its rows.
std::string listing(const std::string& rows, int files) {
  const std::string rule = std::string(78, '=') + "\n";
  return banner() + "Initializing...\n\n" +
         "  Original      Compr.    Date      Time    Ratio   Attr   Filename           \n" + rule + rows + rule +
         std::to_string(files) + " file(s)\n\n";
}
// The screen of t or x up to the summary line.
std::string decoding(const std::vector<std::string>& names) {
  std::string text = banner() + "Initializing...\nReading file list...\nDecompressing...\n";
  for (const auto& name : names) text += progress(name);
  return text;
}

TEST(CommandLineE2E, UsageUnknownCommandOrSwitchAndNothingToDo) {
  Sandbox box;
  box.write("a.txt", "a");
  const std::string usage =
      banner() +
      " Usage: tarnc <command> [-/sw1] [-/sw2] archive[.trn] [wildcard] ...\n"
      "\n Commands:"
      "\n   c - Create                     e - Extract without pathnames"
      "\n   x - eXtract                    l - List"
      "\n   t - Test                       i - Info"
      "\n"
      "\n Switches:"
      "\n   -m[0,q,f,n,g,s,e] - packing method (Store,Quickest,Fast,Normal,"
      "\n                                       Good,Superb,Extreme)"
      "\n   -r - Recurse subdirectories    -d - store Directories"
      "\n   -s - SelF-eXtracting archive   -b - use solid Blocks"
      "\n   -- - stop switch parsing  -o<dir> - set Output directory"
      "\n   -f[temsl] - DISABLE Filtering of: [text; IA-32 exe; mm; swap; low-red]"
      "\n\n\n";
  const std::string nothing = banner() + "\nFATAL: Nothing to do!\n\n";
  for (const auto& [args, text] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, usage},
           {{"cx", "a"}, banner() + " Unknown command: \"cx\"\n"},
           {{"q", "a"}, banner() + " Unknown command: \"q\"\n"},
           {{"c", "-mz", "a", "*"}, banner() + " Unknown switch: \"-mz\"\n"},
           {{"l"}, nothing}, {{"i"}, nothing}, {{"t", "a.trn"}, nothing}, {{"x", "a.trn"}, nothing},
           {{"e", "-oout", "a.trn"}, nothing}, {{"c", "a.trn"}, nothing}}) {
    const RunResult r = box.tarnc(args);
    EXPECT_EQ(r.status, 1) << text;
    EXPECT_EQ(r.out, text);
  }
  EXPECT_FALSE(box.exists("a.trn"));
}

TEST(TranscriptE2E, CreateListInfoTestExtractStored) {
  Sandbox box;
  box.write("a.txt", "hello\n");
  box.write("b.txt", "0123456789");
  box.write("docs/c.txt", "");
  for (const char* f : {"a.txt", "b.txt", "docs/c.txt"}) box.fix_time(f);
  RunResult r = box.tarnc({"c", "-m0", "arc", "a.txt", "b.txt", "docs/*"});
  EXPECT_EQ(r.status, 0);
  // 142 bytes: header 18, data 16, table CRC 4, three records of 28 and names of 5, 5 and 10.
  EXPECT_EQ(mask_seconds(r.out),
            banner() + "Initializing...\nArchive name: " + pad("arc.trn", 50) +
                "\nCompression method: No compression\n\nScanning...\nStoring 3 file(s) totaling 16 bytes...\n" +
                progress("docs\\c.txt") + progress("b.txt") + progress("a.txt") + "\rWriting header..." +
                std::string(58, ' ') + "\nFreeing memory...\nCompressed 16 -> 142 (71.0000000 bpb) in #.##### seconds.\n");

  r = box.tarnc({"l", "arc.trn", "ignored"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, listing("         0           0  01.11.03  12:00:00    0%   ....A   docs\\c.txt        \n"
                           "        10          10  01.11.03  12:00:00  100%   ....A   b.txt             \n"
                           "         6           6  01.11.03  12:00:00  100%   ....A   a.txt             \n",
                           3));

  r = box.tarnc({"i", "arc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, banner() + "Initializing...\n\n -> Archive name     : " + pad("arc.trn", 50) +
                       "\n -> Number of labels : 3\n -> Original size    : 16\n -> Compressed size  : 142\n"
                       " -> Ratio            : 887.500 % ( 71.000 bpb )\n -> Method           : No compression\n");

  r = box.tarnc({"t", "arc", "*"});
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> names = {"docs\\c.txt", "b.txt", "a.txt"};
  EXPECT_EQ(mask_seconds(r.out), decoding(names) + "\nTested 3 file(s) in #.##### seconds.\n");
  EXPECT_FALSE(box.exists("docs/b.txt"));

  r = box.tarnc({"x", "-oout/deep", "arc", "*.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(mask_seconds(r.out), decoding(names) + "\nDecompressed 3 file(s) in #.##### seconds.\n");
  EXPECT_EQ(box.read("out/deep/a.txt"), "hello\n");
  EXPECT_EQ(box.read("out/deep/b.txt"), "0123456789");
  EXPECT_TRUE(box.exists("out/deep/docs/c.txt"));

  // e flattens; a pattern selects by stored name, byte for byte.
  EXPECT_EQ(box.tarnc({"e", "-oflat", "arc", "docs\\*", "*.TXT"}).status, 0);
  EXPECT_TRUE(box.exists("flat/c.txt"));
  EXPECT_FALSE(box.exists("flat/a.txt"));
  r = box.tarnc({"e", "-oflat", "arc", "*.TXT"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, decoding({}) + "\nFATAL: Nothing to do!\n\n");

  // Information on empty entries rates them against one byte.
  ASSERT_EQ(box.tarnc({"c", "-m0", "e", "docs/"}).status, 0);
  r = box.tarnc({"i", "e.trn"});
  EXPECT_TRUE(contains(r.out, " -> Ratio            : 6000.000 % ( 480.000 bpb )\n")) << r.out;
}

TEST(TranscriptE2E, SolidMembersShowQuestionMarksAndRatioIsRounded) {
  Sandbox box;
  // A solid group of two members, stored, and a file of 1000 bytes packed to 250.
  FileEntry head = file_entry("g1", "aaaa");
  head.packed_size = 7;
  FileEntry member = file_entry("g2", "bbb", FLAG_SOLID_CONTINUATION);
  member.packed_size = 0;
  member.offset = 4;
  FileEntry big = file_entry("big", std::string(1000, 'x'), 0);
  big.packed_size = 250;
  // Above 42,949,672 the packed size times 100 no longer fits 32 bits.
  FileEntry huge = file_entry("huge", "", 0);
  huge.size = 100000000;
  huge.packed_size = 50000000;
  FileEntry hidden = file_entry("hidden-readonly-long-name.txt", "");
  hidden.attributes = ATTR_ARCHIVE | ATTR_HIDDEN | ATTR_READ_ONLY;
  hidden.dos_time = (13 << 11) | (45 << 5) | 29;
  box.write("s.trn", build_archive({{head, "aaaabbb"}, {member, ""}, {big, std::string(250, 'z')}, {huge, ""},
                                    {hidden, ""}}, 3));
  const RunResult r = box.tarnc({"l", "s.trn"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, listing("         4           7  01.11.03  12:00:00   ???   ....A   g1                \n"
                           "         3           0  01.11.03  12:00:00   ???   ....A   g2                \n"
                           "      1000         250  01.11.03  12:00:00   25%   ....A   big               \n"
                           " 100000000    50000000  01.11.03  12:00:00   50%   ....A   huge              \n"
                           "         0           0  01.11.03  13:45:58    0%   RH..A   ...y-long-name.txt\n",
                           5));
}

#ifdef TARN_INSPECT_PATH
// The types of the blocks of an archive, in table order, as tarn-inspect
// reports them: "18 57 ".
std::string block_types(const Sandbox& box, const std::string& archive) {
  const RunResult r = box.run_program(TARN_INSPECT_PATH, {archive}, true);
  std::string types;
  for (size_t at = r.out.find(" type=0x"); at != std::string::npos; at = r.out.find(" type=0x", at + 1))
    types += r.out.substr(at + 8, 2) + " ";
  return types;
}

TEST(FilterSwitchE2E, EachLetterOfFTurnsOffItsOwnFilter) {
  Sandbox box;
  std::string text;
  for (int i = 0; text.size() < 9000; ++i)
    text += "word " + std::to_string(i * 37 % 9000) + "." + std::to_string(10 + i % 90) + " word word\n";
  box.write("text.txt", text);
  std::string samples;  // 16-bit stereo
  for (int i = 0; i < 2000; ++i) {
    for (double wave : {3000 * std::sin(i / 20.0), 2000 * std::sin(i / 13.0)}) {
      const auto v = static_cast<uint16_t>(static_cast<int16_t>(wave));
      samples += static_cast<char>(v & 0xFF);
      samples += static_cast<char>(v >> 8);
    }
  }
  box.write("samples.bin", samples);
  box.write("noise.bin", random_text(10000, 1) + std::string(2000, '\0'));
  std::string code(6000, '\x90');  // a call with a near target every 32 bytes
  for (size_t k = 0; k + 5 < code.size(); k += 32) code.replace(k, 5, std::string("\xE8\x00\x12\x00\x00", 5));
  box.write("code.bin", code);
  // Table order: text, samples, noise, code.
  const std::pair<std::string, std::string> runs[] = {{"-mq", "18 57 60 20 "}, {"-ft", "00 57 60 20 "},
                                                      {"-fe", "18 57 60 00 "}, {"-fm", "18 37 60 20 "},
                                                      {"-fs", "18 00 60 20 "}, {"-fl", "18 57 00 20 "}};
  for (const auto& [letters, types] : runs) {
    ASSERT_EQ(box.tarnc({"c", "-mq", letters, "a", "text.txt", "samples.bin", "noise.bin", "code.bin"}).status, 0);
    EXPECT_EQ(block_types(box, "a.trn"), types) << letters;
  }
}
#endif

}  // namespace
}  // namespace tarn::e2e
