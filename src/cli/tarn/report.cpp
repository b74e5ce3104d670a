#include "cli/tarn/report.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tarn_cli {

void message(const std::string& text) {
  std::fprintf(stderr, "tarn: %s\n", text.c_str());
  std::fflush(stderr);
}

std::string last_reason() {
  const std::string text = tarn_last_error();
  const size_t colon = text.rfind(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

int status_of(tarn_result result) {
  switch (result) {
    case TARN_OK: return EXIT_DONE;
    case TARN_ERROR_DAMAGED_ENTRY:
    case TARN_ERROR_DAMAGED_TABLE:
    case TARN_ERROR_END_OF_DATA: return EXIT_DAMAGED;
    default: return EXIT_ERROR;
  }
}

bool is_terminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return ::isatty(fd) != 0;
#endif
}

std::string display_name(const char* stored) {
  std::string name = stored != nullptr ? stored : "";
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

// A stored name in quotes, for messages.
static std::string quoted(const char* stored) {
  std::string q(1, '\'');
  q += display_name(stored);
  q += '\'';
  return q;
}

Reporter::Reporter(bool quiet, bool verbose, const char* verb)
    : verbose_(verbose && !quiet), progress_(!quiet && is_terminal(2)), verb_(verb),
      start_(std::chrono::steady_clock::now()), last_shown_(start_) {}

Reporter::~Reporter() { finish(); }

int Reporter::callback(void* opaque, const tarn_event* event) {
  static_cast<Reporter*>(opaque)->on_event(*event);
  return 0;
}

void Reporter::finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

void Reporter::on_event(const tarn_event& e) {
  switch (e.kind) {
    case TARN_EVENT_ENTRY_START:
      current_ = display_name(e.name);
      if (verbose_) {
        finish();
        std::fprintf(stderr, "%s %s\n", verb_, current_.c_str());
      }
      break;
    case TARN_EVENT_PROGRESS:
      if (progress_) show_progress(e.done, e.total, e.name, false);
      break;
    case TARN_EVENT_CRC_ERROR:
      ++damaged_;
      finish();
      message(quoted(e.name) + ": damaged (its bytes fail their check)");
      break;
    case TARN_EVENT_NOTE:
      ++notes_;
      finish();
      message((e.name != nullptr ? quoted(e.name) + ": " : std::string()) +
              (e.text != nullptr ? e.text : tarn_strerror(e.code)));
      break;
    default: break;
  }
}

void Reporter::show_progress(uint64_t done, uint64_t total, const char*, bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_shown_ < std::chrono::milliseconds(200)) return;
  last_shown_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
  char left[32] = "--:--";
  if (rate > 0 && seconds >= 1 && total >= done) {  // the first second's rate says little
    const auto secs = static_cast<long>(static_cast<double>(total - done) / rate);
    std::snprintf(left, sizeof left, "%ld:%02ld", secs / 60, secs % 60);
  }
  std::string name = current_;
  if (name.size() > 40) name.replace(0, name.size() - 37, "...");
  std::fprintf(stderr, "\r\033[K%3d%% %7.2f MB/s %s left  %s", percent, rate / 1e6, left, name.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace tarn_cli
