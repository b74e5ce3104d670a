// Testing a whole archive in memory through the C interface (what t does:
// table, groups, stored copies, chunk streams of every method and the CRC
// checks, on workers), then reading every entry through its stream, which
// decodes on the caller's thread: both must agree on which entries are
// damaged.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "tarn/tarn.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarn::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn_reader* reader = nullptr;
  if (tarn_reader_open_memory(&reader, data, size) != TARN_OK) return 0;
  tarn_reader_set_threads(reader, 2);
  tarn_summary summary;
  const tarn_result tested = tarn_test(reader, nullptr, 0, &summary);
  if (tested == TARN_OK || tested == TARN_ERROR_DAMAGED_ENTRY) {
    uint64_t damaged = 0;
    std::vector<uint8_t> buffer(4096);
    bool failed = false;
    for (size_t i = 0; i < tarn_reader_entry_count(reader) && !failed; ++i) {
      tarn_entry_stream* stream = nullptr;
      if (tarn_entry_open(reader, i, &stream) != TARN_OK) {
        failed = true;
        break;
      }
      size_t got = 0;
      tarn_result r;
      while ((r = tarn_entry_read(stream, buffer.data(), buffer.size(), &got)) == TARN_OK && got > 0) {
      }
      tarn_entry_close(stream);
      if (r == TARN_ERROR_DAMAGED_ENTRY) ++damaged;
      else if (r != TARN_OK) failed = true;
    }
    // Streams stop at the first failure that is not damage (the end of the
    // archive inside a piece, for one); otherwise they find what t found.
    if (!failed && damaged != summary.damaged) __builtin_trap();
  }
  tarn_reader_close(reader);
  return 0;
}
