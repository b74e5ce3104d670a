// Placeholder filters that decline every block, until the real ones land.
#include "pipeline/filters.h"

namespace tarn {

uint8_t try_exe_filter(uint8_t*, uint32_t&, uint32_t) { return 0; }
void undo_exe_filter(uint8_t*, uint32_t&, uint32_t) {}
uint8_t try_text_filter(uint8_t*, uint32_t&) { return 0; }
void undo_text_filter(uint8_t*, uint32_t&, uint8_t) {}
uint8_t try_stride_and_mm_filters(uint8_t*, uint32_t&, bool, bool) { return 0; }
void undo_stride_and_mm_filters(uint8_t*, uint32_t&, uint8_t) {}
uint8_t test_low_redundancy(const uint8_t*, uint32_t) { return 0; }
double mtf_cost16(const uint8_t*, uint32_t, uint32_t* repeats) {
  if (repeats) *repeats = 0;
  return 0.0;
}
double mtf_cost8(const uint8_t*, uint32_t, uint32_t* repeats) {
  if (repeats) *repeats = 0;
  return 0.0;
}
double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure) {
  return measure(bytes, length, nullptr);
}

}  // namespace tarn
