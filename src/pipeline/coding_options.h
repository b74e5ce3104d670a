// How a stream is coded: the compression method and the filters it may use.
//
// The method selects the PPM model's maximum order, its memory and what
// happens when that memory runs out; the archive header records it for every
// packed piece. The filter mask has one bit per filter family, a set bit
// allowing it (FILTER_ALLOW_*): packing takes the complement of the -f
// switch's letters, unpacking allows everything. One CodingOptions travels
// from the command line to BlockPipeline::start_stream.
#pragma once

#include <array>
#include <cstdint>

#include "pipeline/block_types.h"

namespace tarn {

inline constexpr uint8_t METHOD_STORE = 0;
inline constexpr uint8_t METHOD_NORMAL = 3;
inline constexpr uint8_t METHOD_EXTREME = 6;

struct MethodParameters {
  const char* name;
  unsigned order;      // maximum model order (0: no model)
  uint32_t megabytes;  // model memory in MiB
  bool cut_off;        // memory exhaustion rule: cut-off (true) or restart
};

inline constexpr std::array<MethodParameters, 7> METHOD_PARAMETERS = {{
    {"No compression", 0, 0, false},
    {"Quickest", 3, 5, false},
    {"Fast", 4, 12, false},
    {"Normal", 7, 25, false},
    {"Good", 9, 44, false},
    {"Superb", 11, 60, false},
    {"Extreme", 14, 70, true},
}};

inline bool is_packing_method(uint8_t method) { return method >= 1 && method <= METHOD_EXTREME; }

struct CodingOptions {
  uint8_t method = METHOD_NORMAL;
  uint8_t filters = FILTER_ALLOW_ALL;
};

}  // namespace tarn
