// bench: every method on the user's own files, side by side -- the packed
// size, the ratio, and the packing and unpacking speed (each checked).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "cli/tarn/commands.h"
#include "cli/tarn/report.h"

namespace tarn_cli {

int run_bench(const Options& o) {
  if (o.operands.empty()) {
    message("nothing to measure: name files after 'bench'");
    return EXIT_ERROR;
  }
  int status = EXIT_DONE;
  for (const std::string& path : o.operands) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      message("cannot open '" + path + "': No such file or directory");
      status = EXIT_ERROR;
      continue;
    }
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      message("cannot read '" + path + "'");
      status = EXIT_ERROR;
      continue;
    }
    std::printf("%s: %zu bytes\n", path.c_str(), data.size());
    std::printf("  %-9s %12s %7s %12s %12s\n", "method", "packed", "ratio", "pack MB/s", "unpack MB/s");
    for (int m = 0; m <= 6; ++m) {
      if (o.method_given && m != o.method) continue;
      void* packed = nullptr;
      size_t packed_size = 0;
      const auto t0 = std::chrono::steady_clock::now();
      tarn_result r = tarn_compress(data.data(), data.size(), m, &packed, &packed_size);
      const auto t1 = std::chrono::steady_clock::now();
      if (r != TARN_OK) {
        message("cannot pack '" + path + "' with " + method_name(m) + ": " + last_reason());
        tarn_free(packed);
        status = EXIT_ERROR;
        break;
      }
      void* back = nullptr;
      size_t back_size = 0;
      r = tarn_decompress(packed, packed_size, &back, &back_size);
      const auto t2 = std::chrono::steady_clock::now();
      const bool same = r == TARN_OK && back_size == data.size() &&
                        (data.empty() || std::equal(data.begin(), data.end(), static_cast<const char*>(back)));
      tarn_free(back);
      tarn_free(packed);
      if (!same) {
        message("'" + path + "' with " + method_name(m) + ": unpacked bytes differ");
        status = EXIT_DAMAGED;
      }
      const auto mbps = [&](std::chrono::steady_clock::duration d) {
        const double s = std::chrono::duration<double>(d).count();
        return s > 0 ? static_cast<double>(data.size()) / s / 1e6 : 0.0;
      };
      const double ratio = data.empty() ? 0 : 100.0 * static_cast<double>(packed_size) / static_cast<double>(data.size());
      std::printf("  %-9s %12zu %6.1f%% %12.2f %12.2f\n", method_name(m), packed_size, ratio, mbps(t1 - t0),
                  mbps(t2 - t1));
      std::fflush(stdout);
    }
  }
  return status;
}

}  // namespace tarn_cli
