#include "cli/progress.h"

#include "platform/filesystem.h"

namespace tarn {

ProgressDisplay::ProgressDisplay(bool enabled, std::FILE* out, std::function<int64_t()> clock)
    : enabled_(enabled), out_(out), clock_(std::move(clock)) {}

ProgressDisplay::ProgressDisplay()
    : ProgressDisplay(platform::stdout_is_terminal(), stdout, [] { return platform::clock_milliseconds(); }) {}

void ProgressDisplay::run_started(uint64_t entries, uint64_t total) {
  entries_ = entries;
  total_ = total;
  finished_bytes_ = 0;
  run_shown_ = false;
}

void ProgressDisplay::entry_started(uint64_t bytes, uint64_t size) {
  entry_bytes_ = bytes > SHOWN_ABOVE ? bytes : 0;
  entry_size_ = size;
  done_ = 0;
  // The line was just printed again: the run's share goes back on it.
  if (run_shown_) draw();
}

void ProgressDisplay::advance(uint64_t done) {
  if (done > done_) done_ = done;  // the reports of several threads may cross
  if (!enabled_ || (entry_bytes_ == 0 && entries_ < 2)) return;
  const int64_t now = clock_();
  if (drawn_once_ && now - last_draw_ms_ < REDRAW_MS) return;
  draw();
}

void ProgressDisplay::entry_finished() {
  finished_bytes_ += entry_size_;
  erase();
  entry_bytes_ = 0;
  entry_size_ = 0;
}

std::string ProgressDisplay::text() const {
  char buffer[48];
  std::string t;
  if (entry_bytes_ > 0) {
    const uint64_t done = done_ < entry_bytes_ ? done_ : entry_bytes_;
    std::snprintf(buffer, sizeof buffer, "%3u%%", static_cast<unsigned>(done * 100 / entry_bytes_));
    t = buffer;
  } else {
    t = "    ";
  }
  if (entries_ >= 2 && total_ > 0) {
    const uint64_t entry_done = done_ < entry_size_ ? done_ : entry_size_;
    const uint64_t all = finished_bytes_ + entry_done < total_ ? finished_bytes_ + entry_done : total_;
    std::snprintf(buffer, sizeof buffer, " (%3u%% of all)", static_cast<unsigned>(all * 100 / total_));
    t += buffer;
  }
  return t;
}

void ProgressDisplay::draw() {
  if (!enabled_) return;
  const std::string t = text();
  if (entries_ >= 2) run_shown_ = true;
  last_draw_ms_ = clock_();
  drawn_once_ = true;
  shown_ = true;
  width_ = t.size();
  std::fputs(t.c_str(), out_);
  std::fputs(std::string(width_, '\b').c_str(), out_);
  std::fflush(out_);
}

void ProgressDisplay::erase() {
  if (!shown_) return;
  shown_ = false;
  std::fputs(std::string(width_, ' ').c_str(), out_);
  std::fputs(std::string(width_, '\b').c_str(), out_);
  std::fflush(out_);
}

}  // namespace tarn
