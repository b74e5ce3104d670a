// The percentage shown behind a progress line on a terminal.
//
// For a file of more than 1 MiB the drivers report how far they are; on a
// terminal the percentage is drawn right after the " -> name " field and the
// cursor moved back, at most ten times a second, and erased at the end.
// When standard output is not a terminal nothing is printed, so the output
// stays exactly the program's fixed texts.
#pragma once

#include <cstdint>

namespace tarn {

class ProgressMeter {
 public:
  explicit ProgressMeter(uint64_t total);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  void advance(uint64_t done);

 private:
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  int64_t last_draw_ms_ = 0;
};

}  // namespace tarn
