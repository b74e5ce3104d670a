// The percentages behind the progress lines on a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/progress.h"

namespace tarn {
namespace {

struct Step {
  enum Kind { START, ADVANCE, FINISH } kind;
  int64_t ms;         // the clock when it comes
  uint64_t value;     // START: the entry's bytes (0: none of its own); ADVANCE: done
  uint64_t size = 0;  // START: the entry's share of the run
};

std::string shown(bool terminal, uint64_t entries, uint64_t total, const std::vector<Step>& steps) {
  std::FILE* out = std::tmpfile();
  int64_t now = 0;
  {
    ProgressDisplay display(terminal, out, [&] { return now; });
    display.run_started(entries, total);
    for (const Step& s : steps) {
      now = s.ms;
      if (s.kind == Step::START) display.entry_started(s.value, s.size);
      if (s.kind == Step::ADVANCE) display.advance(s.value);
      if (s.kind == Step::FINISH) display.entry_finished();
    }
  }
  std::string text(static_cast<size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

const std::string BACK4(4, '\b');
const std::string BACK18(18, '\b');

TEST(ProgressDisplay, PercentagesAtMostTenTimesASecondOnATerminalOnly) {
  constexpr uint64_t MB10 = 10 << 20;
  // One entry of 10 MiB reporting every block: drawn at 0, 100 and 250 ms
  // (not at 50 or 199, less than 100 ms after the last), erased at the end.
  const std::vector<Step> large = {{Step::START, 0, MB10, MB10},        {Step::ADVANCE, 0, 0},
                                   {Step::ADVANCE, 50, MB10 / 10},      {Step::ADVANCE, 100, MB10 / 5},
                                   {Step::ADVANCE, 199, MB10 / 4},      {Step::ADVANCE, 250, MB10},
                                   {Step::FINISH, 260, 0}};
  EXPECT_EQ(shown(true, 1, MB10, large), "  0%" + BACK4 + " 20%" + BACK4 + "100%" + BACK4 + "    " + BACK4);
  // Not a terminal: nothing, ever.
  EXPECT_EQ(shown(false, 1, MB10, large), "");
  EXPECT_EQ(shown(false, 3, 3 * MB10, large), "");
  // An entry of 1 MiB or less shows nothing of its own; one byte more does.
  EXPECT_EQ(shown(true, 1, 1 << 20, {{Step::START, 0, 1 << 20, 1 << 20}, {Step::ADVANCE, 0, 1 << 20},
                                     {Step::FINISH, 0, 0}}),
            "");
  EXPECT_EQ(shown(true, 1, 1 << 20, {{Step::START, 0, (1 << 20) + 1, 1 << 20}, {Step::ADVANCE, 0, 0}}),
            "  0%" + BACK4);
  // Several entries: the share of all bytes beside the entry's, for the
  // small ones too once it has been shown, reckoned from the entries done.
  const std::vector<Step> run = {{Step::START, 0, 0, MB10 / 2},  {Step::ADVANCE, 0, MB10 / 2},
                                 {Step::FINISH, 10, 0},          {Step::START, 20, MB10, MB10},
                                 {Step::ADVANCE, 200, MB10 / 2}, {Step::FINISH, 210, 0},
                                 {Step::START, 220, 0, MB10 / 2}, {Step::FINISH, 230, 0}};
  EXPECT_EQ(shown(true, 3, 2 * MB10, run),
            "     ( 25% of all)" + BACK18 + std::string(18, ' ') + BACK18 +  // the first, small one
            "  0% ( 25% of all)" + BACK18 +                                  // the large one starts
            " 50% ( 50% of all)" + BACK18 + std::string(18, ' ') + BACK18 +  //
            "     ( 75% of all)" + BACK18 + std::string(18, ' ') + BACK18);  // the last, small one
}

}  // namespace
}  // namespace tarn
