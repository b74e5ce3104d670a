// Raw chunk streams through BlockPipeline::decode_buffer: the prepass
// header, block headers, every coder and inverse filter, and the prepass
// restore. Byte 0 picks the method (its order and memory rule); the model
// gets a 1 MiB heap so exhaustion is reached quickly. Up to four chunks are
// decoded one after the other, as in a file, so the models carry over.
#include <cstddef>
#include <cstdint>

#include "archive/format.h"
#include "coder/byte_io.h"
#include "common/error.h"
#include "fuzz_support.h"
#include "pipeline/block_pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint8_t method = static_cast<uint8_t>(1 + params.take(1) % tarn::METHOD_EXTREME);
  const tarn::MethodParameters& row = tarn::METHOD_PARAMETERS[method];
  tarn::BlockPipeline pipeline;
  tarn::MemorySource in(params.rest(), params.rest_size());
  try {
    pipeline.set_coding_options(method, true, true, true, true, true);
    pipeline.order0_model_reset();
    pipeline.byte_predictor_reset();
    pipeline.ppm_start(row.order, 1, row.cut_off);
    pipeline.set_stream_position(0);
    for (int chunk = 0; chunk < 4 && in.remaining() > 0; ++chunk) {
      tarn::ChunkTrace trace;
      pipeline.decode_buffer(in, &trace);
    }
  } catch (const tarn::TarnError&) {
  }
  pipeline.stop_suballocator();
  return 0;
}
