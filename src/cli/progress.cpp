#include "cli/progress.h"

#include <cstdio>

#include "platform/filesystem.h"

namespace tarn {

namespace {
constexpr uint64_t SHOWN_ABOVE = 1u << 20;
constexpr int64_t REDRAW_MS = 100;
}  // namespace

ProgressMeter::ProgressMeter(uint64_t total)
    : total_(total), enabled_(total > SHOWN_ABOVE && platform::stdout_is_terminal()) {}

ProgressMeter::~ProgressMeter() {
  if (drawn_) {
    std::fputs("    \b\b\b\b", stdout);
    std::fflush(stdout);
  }
}

void ProgressMeter::advance(uint64_t done) {
  if (!enabled_) return;
  const int64_t now = platform::clock_milliseconds();
  if (drawn_ && now - last_draw_ms_ < REDRAW_MS) return;
  last_draw_ms_ = now;
  drawn_ = true;
  std::printf("%3u%%\b\b\b\b", static_cast<unsigned>(done * 100 / total_));
  std::fflush(stdout);
}

}  // namespace tarn
