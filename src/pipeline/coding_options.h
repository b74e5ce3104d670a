// How a stream is coded: the compression method and the filters it may use.
//
// The method selects the PPM model's maximum order, its memory and what
// happens when that memory runs out; the archive header records it for every
// packed piece. The filter mask has one bit per filter family, a set bit
// allowing it (FILTER_ALLOW_*): packing takes the complement of the -f
// switch's letters, unpacking allows everything. One CodingOptions travels
// from the command line to BlockPipeline::start_stream.
#pragma once

#include <cstdint>

#include "common/format_constants.h"
#include "pipeline/block_types.h"

namespace tarn {

struct CodingOptions {
  uint8_t method = METHOD_NORMAL;
  uint8_t filters = FILTER_ALLOW_ALL;
};

}  // namespace tarn
