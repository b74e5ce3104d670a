// Raw chunk streams through BlockPipeline::decode_buffer: the prepass
// header, block headers, every coder and inverse filter, and the prepass
// restore. Byte 0 picks the method (its order and memory rule); the model
// gets a 1 MiB heap so exhaustion is reached quickly. Up to four chunks are
// decoded one after the other, as in a file, so the models carry over.
//
// The same stream is then decoded again by the same pipeline after
// reset_for_next_stream(), as the archive drivers reuse pipelines: whatever
// the hostile first pass did to the model and its heap, the second pass must
// give exactly the same bytes and end the same way.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/format.h"
#include "coder/byte_io.h"
#include "common/error.h"
#include "fuzz_support.h"
#include "pipeline/block_pipeline.h"

namespace {

struct Outcome {
  std::vector<uint8_t> bytes;
  int error = -1;  // -1: no error
  bool operator==(const Outcome&) const = default;
};

Outcome decode_stream(tarn::BlockPipeline& pipeline, uint8_t method, const uint8_t* data, size_t size) {
  tarn::MemorySource in(data, size);
  Outcome outcome;
  try {
    pipeline.start_stream({method, tarn::FILTER_ALLOW_ALL}, 1);
    for (int chunk = 0; chunk < 4 && in.remaining() > 0; ++chunk) {
      tarn::ChunkTrace trace;
      const std::vector<uint8_t> bytes = pipeline.decode_buffer(in, &trace);
      outcome.bytes.insert(outcome.bytes.end(), bytes.begin(), bytes.end());
    }
  } catch (const tarn::TarnError& e) {
    outcome.error = static_cast<int>(e.code());
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint8_t method = static_cast<uint8_t>(1 + params.take(1) % tarn::METHOD_EXTREME);
  tarn::BlockPipeline pipeline;
  const Outcome first = decode_stream(pipeline, method, params.rest(), params.rest_size());
  pipeline.reset_for_next_stream();
  const Outcome second = decode_stream(pipeline, method, params.rest(), params.rest_size());
  if (!(first == second)) __builtin_trap();
  pipeline.stop_suballocator();
  return 0;
}
