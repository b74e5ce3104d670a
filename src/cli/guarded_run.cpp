#include "cli/guarded_run.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "cli/display_name.h"

namespace tarn {

int run_guarded(const std::function<int()>& body, const std::function<void(const TarnError&)>& report) {
  try {
    return body();
  } catch (const TarnError& error) {
    report(error);
  } catch (const std::bad_alloc&) {
    report(TarnError(ErrorCode::OUT_OF_MEMORY));
  } catch (const std::length_error&) {
    report(TarnError(ErrorCode::OUT_OF_MEMORY));
  } catch (const std::exception& e) {
    report(TarnError(ErrorCode::IO_ERROR, e.what()));
  } catch (...) {
    report(TarnError(ErrorCode::IO_ERROR));
  }
  return 1;
}

void print_fatal(const std::string& program, const TarnError& error) {
  std::fflush(stdout);
  if (!error.detail().empty()) {
    // The detail names files, which may hold any byte (and so may the
    // self-extractor's own name).
    std::fprintf(stderr, "%s\n", printable_name(program + ": " + error.detail()).c_str());
    std::fflush(stderr);
  }
  std::printf("\nFATAL: %s\n\n", error_message(error.code()));
  std::fflush(stdout);
}

}  // namespace tarn
