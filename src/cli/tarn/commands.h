// tarn's commands over libtarn's C interface. Each returns the exit status.
#pragma once

#include <string>
#include <vector>

#include "cli/tarn/options.h"
#include "tarn/tarn.h"

namespace tarn_cli {

int run_create(const Options& options);  // create and add
int run_delete(const Options& options);
int run_extract(const Options& options);  // extract and cat
int run_test(const Options& options);
int run_list(const Options& options);
int run_info(const Options& options);
int run_bench(const Options& options);

// An open archive and the entries the operands select.
struct Opened {
  tarn_reader* reader = nullptr;
  std::vector<size_t> selected;
  ~Opened() { tarn_reader_close(reader); }
};
// Opens the archive (operands[0]) and selects the entries the other
// operands name (all without), less --exclude. 0, or the exit status.
int open_selected(const Options& options, Opened& opened);
// Whether a stored name is `pattern` or lies below it, or matches it.
bool selects(const std::string& pattern, const char* stored);

}  // namespace tarn_cli
