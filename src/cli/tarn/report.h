// What tarn tells the user on standard error: messages naming the file and
// the reason, the library's notes, and progress while it works (only on a
// terminal, and never with -q).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tarn/tarn.h"

namespace tarn_cli {

// Exit statuses.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_ERROR = 1;    // usage, I/O, a refused or missing input, an entry not written
constexpr int EXIT_DAMAGED = 2;  // damaged data: CRC errors, damaged pieces or table

// "tarn: " and the message, on standard error.
void message(const std::string& text);
// The library's last error without the name it starts with ("x: No such
// file or directory" gives "No such file or directory").
std::string last_reason();
// The exit status for a result of the library.
int status_of(tarn_result result);
// Whether standard error (2) or standard output (1) is a terminal.
bool is_terminal(int fd);

// The events of one long call: notes and damage as messages, verbose
// names, and progress on a terminal.
class Reporter {
 public:
  Reporter(bool quiet, bool verbose, const char* verb);
  ~Reporter();
  static int callback(void* opaque, const tarn_event* event);
  void finish();  // clears the progress line
  uint64_t notes() const { return notes_; }
  uint64_t damaged() const { return damaged_; }

 private:
  void on_event(const tarn_event& e);
  void show_progress(uint64_t done, uint64_t total, const char* name, bool force);

  bool verbose_;
  bool progress_;
  const char* verb_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_shown_;
  bool shown_ = false;
  std::string current_;
  uint64_t notes_ = 0;
  uint64_t damaged_ = 0;
};

// A stored name for the user: '\\' shown as '/'.
std::string display_name(const char* stored);

}  // namespace tarn_cli
