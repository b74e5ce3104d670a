#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/console_report.h"
#include "cli/display_name.h"
#include "cli/guarded_run.h"
#include "cli/screens.h"
#include "cli/settings.h"

namespace tarn {
namespace {

ParseResult parse(std::vector<std::string> args, Settings& s) {
  args.insert(args.begin(), "tarnc");
  return parse_command_line(args, s);
}

TEST(CommandLine, CommandsAndUnknownCommands) {
  Settings s;
  EXPECT_EQ(parse({}, s).status, ParseStatus::USAGE);
  EXPECT_EQ(parse({""}, s).status, ParseStatus::UNKNOWN_COMMAND);  // the others: the e2e transcripts
  const std::pair<const char*, uint8_t> commands[] = {{"c", CMD_CREATE}, {"X", CMD_EXTRACT}, {"t", CMD_TEST},
                                                      {"e", CMD_EXTRACT_FLAT}, {"L", CMD_LIST}, {"i", CMD_INFO}};
  for (const auto& [letter, code] : commands) {
    ASSERT_EQ(parse({letter, "a"}, s).status, ParseStatus::RUN);
    EXPECT_EQ(s.command, code);
    EXPECT_EQ(s.operand_index, 2u);
    EXPECT_EQ(s.method, 3);
    EXPECT_EQ(s.output_dir, ".");
  }
}

TEST(CommandLine, SwitchesAndTheirErrors) {
  Settings s;
  ASSERT_EQ(parse({"c", "-MQ", "/b", "-r", "-D", "/s", "a", "*"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.method, 1);
  EXPECT_TRUE(s.solid_blocks && s.recurse && s.store_directories && s.self_extracting);
  EXPECT_EQ(s.operand_index, 7u);

  ASSERT_EQ(parse({"c", "-m0", "-me", "a"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.method, 6);
  // Each -f letter, in either case, sets its own bit: t 1, e 2, m 4, l 8, s 16.
  const std::pair<const char*, int> filters[] = {{"-ft", 1},  {"-fE", 2},      {"-fm", 4},  {"-fL", 8},
                                                 {"-fs", 16}, {"-fTEMSL", 31}, {"-ftts", 17}};
  for (const auto& [arg, mask] : filters) {
    ASSERT_EQ(parse({"c", arg, "a"}, s).status, ParseStatus::RUN) << arg;
    EXPECT_EQ(s.filter_disable_mask, mask) << arg;
  }
  ASSERT_EQ(parse({"x", "-oout/dir", "a"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.output_dir, "out/dir");

  for (const char* bad : {"-m", "-o", "-mqq", "-mx", "-fx", "-z", "-xy"}) {
    auto r = parse({"c", bad, "a"}, s);
    EXPECT_EQ(r.status, ParseStatus::UNKNOWN_SWITCH) << bad;
    EXPECT_EQ(r.text, bad);
  }
}

TEST(CommandLine, ArchiveNameEndsSwitchReading) {
  Settings s;
  ASSERT_EQ(parse({"c", "--", "-arc", "*"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.operand_index, 3u);
  EXPECT_EQ(s.args[s.operand_index], "-arc");
  ASSERT_EQ(parse({"c", "arc", "-b", "*"}, s).status, ParseStatus::RUN);
  EXPECT_FALSE(s.solid_blocks);
  EXPECT_EQ(s.operand_index, 2u);
  // A rooted POSIX path is an archive name, not a switch.
  ASSERT_EQ(parse({"l", "/tmp/a.trn"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.operand_index, 2u);
  ASSERT_EQ(parse({"c", "-", "x"}, s).status, ParseStatus::RUN);
  EXPECT_EQ(s.operand_index, 2u);
}

TEST(CreateExtension, AddsTrnOrExeUnlessPresentInAnyCase) {
  EXPECT_EQ(add_create_extension("data", false), "data.trn");
  EXPECT_EQ(add_create_extension("data.TRN", false), "data.TRN");
  EXPECT_EQ(add_create_extension("data", true), "data.exe");
  EXPECT_EQ(add_create_extension("data.trn", true), "data.trn.exe");
  EXPECT_EQ(add_create_extension("a.Exe", true), "a.Exe");
  EXPECT_EQ(add_create_extension("trn", false), "trn.trn");
}

TEST(DisplayName, PadsOrKeepsTheTail) {
  const std::string sixty(60, 'x');
  const std::string tail = "0123456789";
  EXPECT_EQ(format_display_name(sixty.substr(10) + tail, 50), "..." + sixty.substr(23) + tail);
  EXPECT_EQ(format_display_name("a.txt", 18), "a.txt             ");
  EXPECT_EQ(format_display_name(std::string(18, 'n'), 18), std::string(18, 'n'));
  EXPECT_EQ(format_display_name("abcdefghijklmnopqrs", 18), "...efghijklmnopqrs");
  // UTF-8 is counted in characters and never cut in half.
  const std::string cyr = "\xD0\xB0\xD0\xB1\xD0\xB2";  // three letters
  EXPECT_EQ(format_display_name(cyr, 5), cyr + "  ");
  EXPECT_EQ(format_display_name(std::string(20, 'a') + cyr, 5), "..." + cyr.substr(2));
  // Control bytes are shown as "?", in the field and in every other name printed.
  EXPECT_EQ(format_display_name("a\x1b[2J\x7f\tb", 9), "a?[2J??b ");
  EXPECT_EQ(printable_name(std::string("x\0y\r", 4)), "x?y?");
}

TEST(DisplayName, C1ControlsShowAsOneCharacterEach) {
  // CSI and OSC as UTF-8 (U+009B, U+009D), each one "?" where the console
  // reads UTF-8; U+00A0 and the letters around them stay.
  const std::string csi = "\xC2\x9B", osc = "\xC2\x9D", nbsp = "\xC2\xA0", cyr = "\xD0\xB0";
  EXPECT_EQ(printable_name("a" + csi + "2J" + osc + "0;t\x07" + nbsp + cyr, false), "a?2J?0;t?" + nbsp + cyr);
  EXPECT_EQ(printable_name("\xC2\x80" "\xC2\x9F", false), "??");
  // Bytes 0x80-0x9F outside a well-formed sequence: a lone one, one after a
  // cut-off lead, the halves of an over-long CSI. Other bytes stay.
  EXPECT_EQ(printable_name("\x9B[2J", false), "?[2J");
  EXPECT_EQ(printable_name("\xE2\x9B" "x", false), "\xE2?x");
  EXPECT_EQ(printable_name("\xE0\x82\x9B" "\xC0\xAF", false), "\xE0??\xC0\xAF");
  // Well-formed letters whose later bytes lie in 0x80-0x9F are kept.
  const std::string letters = "\xC4\x9B" "\xE2\x80\x94" "\xF0\x9F\x98\x80";
  EXPECT_EQ(printable_name(letters, false), letters);
  // Under a code page these bytes are letters; only C0 and DEL change.
  EXPECT_EQ(printable_name("\x9B\xC2\x9D\x1B\x7F", true), "\x9B\xC2\x9D??");
  // Printing it again changes nothing.
  const std::string once = printable_name("\x1B" + csi + "\x9B\xE2\x9B", false);
  EXPECT_EQ(printable_name(once, false), once);

  // In the listing's field a replaced control counts as the one character it
  // was: the cut keeps the last 15 characters, the padding fills to 18.
  EXPECT_EQ(format_display_name("ab" + csi + "cd", 18), "ab?cd" + std::string(13, ' '));
  EXPECT_EQ(format_display_name(std::string(10, 'x') + csi + std::string(10, 'y'), 18),
            "...xxxx?" + std::string(10, 'y'));
  EXPECT_EQ(format_display_name("\x9B" + std::string(16, 'z'), 18), "?" + std::string(16, 'z') + " ");
}

std::string captured_stdout(const std::function<void()>& body) {
  ::testing::internal::CaptureStdout();
  body();
  return ::testing::internal::GetCapturedStdout();
}

// The elapsed milliseconds times the single-precision 0.001, in double:
// exact to the fifth digit where the float product would not be.
TEST(ElapsedTime, MillisecondsTimesTheFloatConstantInDouble) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0.00000"}, {531, "0.53100"}, {64000, "64.00000"}, {100000, "100.00000"}, {2000000, "2000.00009"}};
  for (const auto& [ms, text] : cases)
    EXPECT_EQ(captured_stdout([ms = ms] { print_elapsed_seconds(ms); }), std::string(text) + " seconds.\n") << ms;
}

// Every failure ends in one place: the format's message on standard output,
// the detail on standard error, status 1, whatever was thrown.
TEST(FatalPath, EveryFailureBecomesOneOfTheFormatsMessages) {
  struct Case {
    std::function<int()> body;
    ErrorCode code;
    std::string detail;
  };
  const Case cases[] = {
      {[]() -> int { raise_error(ErrorCode::HEADER_DAMAGE); }, ErrorCode::HEADER_DAMAGE, ""},
      {[]() -> int { raise_error(ErrorCode::IO_ERROR, "out/a.txt: No space left on device"); }, ErrorCode::IO_ERROR,
       "out/a.txt: No space left on device"},
      {[]() -> int { throw std::bad_alloc(); }, ErrorCode::OUT_OF_MEMORY, ""},
      {[]() -> int { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread"); },
       ErrorCode::IO_ERROR, "thread: Resource temporarily unavailable"},
      {[]() -> int { throw 42; }, ErrorCode::IO_ERROR, ""},
  };
  for (const Case& c : cases) {
    ErrorCode code = ErrorCode::NOTHING_TO_DO;
    std::string detail;
    EXPECT_EQ(run_guarded(c.body, [&](const TarnError& e) { code = e.code(); detail = e.detail(); }), 1);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(detail, c.detail);
  }
  EXPECT_EQ(run_guarded([] { return 0; }, [](const TarnError&) { ADD_FAILURE(); }), 0);
  ::testing::internal::CaptureStderr();
  const std::string out = captured_stdout([] { print_fatal("tarnc", TarnError(ErrorCode::IO_ERROR, "a: why")); });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarnc: a: why\n");
  EXPECT_EQ(out, "\nFATAL: I/O error\n\n");
}

TEST(ConsoleNotes, NamesInNotesAndFatalDetailsAreShownPrintable) {
  // A line on standard error stays one line and sends no escape sequence,
  // whatever the name in it holds; the program's own name too.
  ConsoleReport report("tarn32\x1b.sfx");
  ::testing::internal::CaptureStderr();
  report.note("left out a\nb\xC2\x9B" "1m: why");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarn32?.sfx: left out a?b?1m: why\n");
  FileEntry entry;
  entry.name = "d\\\x1b]0;x\x07.txt";
  ::testing::internal::CaptureStderr();
  report.crc_failed(entry);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarn32?.sfx: CRC error: d\\?]0;x?.txt\n");
  ::testing::internal::CaptureStderr();
  const std::string out = captured_stdout(
      [] { print_fatal("tarnc", TarnError(ErrorCode::IO_ERROR, "o/a\x1b[2J\xC2\x9D.txt: File exists")); });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarnc: o/a?[2J?.txt: File exists\n");
  EXPECT_EQ(out, "\nFATAL: I/O error\n\n");
}

}  // namespace
}  // namespace tarn
