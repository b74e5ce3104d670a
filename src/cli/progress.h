// The percentages shown behind the progress lines on a terminal.
//
// For an entry of more than 1 MiB the drivers report how far they are, as
// each block is done; behind the " -> name " field the entry's percentage is
// drawn and the cursor moved back, at most ten times a second, and erased
// when the entry is done. When the run has more than one entry, the share
// of all its bytes done is drawn beside it -- for every entry once the run
// has shown it the first time, the small ones too, and kept up to date as
// the entry's is. When standard output is not a terminal nothing is drawn,
// so the output stays exactly the program's fixed texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace tarn {

class ProgressDisplay {
 public:
  static constexpr uint64_t SHOWN_ABOVE = 1u << 20;  // entries with a percentage of their own
  static constexpr int64_t REDRAW_MS = 100;

  // Draws to `out` when `enabled`; `clock` gives milliseconds.
  ProgressDisplay(bool enabled, std::FILE* out, std::function<int64_t()> clock);
  // On standard output when it is a terminal.
  ProgressDisplay();

  // The run's entries and their bytes.
  void run_started(uint64_t entries, uint64_t total);
  // After the entry's line is printed: `bytes` to count its progress in (0:
  // none of its own), `size` its share of the run.
  void entry_started(uint64_t bytes, uint64_t size);
  void advance(uint64_t done);
  void entry_finished();
  // Takes what is drawn off the line (an entry that ended without finishing).
  void erase();

 private:
  std::string text() const;
  void draw();

  bool enabled_;
  std::FILE* out_;
  std::function<int64_t()> clock_;
  uint64_t entries_ = 0;
  uint64_t total_ = 0;
  uint64_t finished_bytes_ = 0;
  uint64_t entry_bytes_ = 0;
  uint64_t entry_size_ = 0;
  uint64_t done_ = 0;
  bool shown_ = false;  // something is drawn on the current line
  bool run_shown_ = false;  // the share of the run has been drawn once
  bool drawn_once_ = false;
  int64_t last_draw_ms_ = 0;
  size_t width_ = 0;  // of what is drawn
};

}  // namespace tarn
