// Writes the seed corpora of the fuzz targets.
//
//   make_fuzz_seeds OUTPUT_DIR TARNC
//
// Small deterministic inputs of every kind the decoders meet: text, x86-like
// code, sampled signals of several strides, noise, long repetitions and a
// mix. Archives come from the given tarnc (every method, single files and
// solid groups, stored files, directories); the lower-level corpora are
// coded here with the library itself, in the layouts the targets read (see
// each fuzz_*.cpp). It prints which block types the chunk streams cover.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "archive/format.h"
#include "coder/byte_io.h"
#include "coder/byte_predictor.h"
#include "coder/long_repeat.h"
#include "coder/order0_coder.h"
#include "coder/ppm_model.h"
#include "coder/range_coder.h"
#include "common/byte_order.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/block_types.h"
#include "pipeline/filters.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// The low `bytes` bytes of v, least significant first.
void put_le(Bytes& out, uint32_t v, int bytes) {
  uint8_t le[4];
  tarn::store_le32(le, v);
  out.insert(out.end(), le, le + bytes);
}

struct Lcg {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
  uint8_t byte() { return static_cast<uint8_t>(next() >> 16); }
};

Bytes text_data(size_t n, uint32_t seed) {
  static const char* const WORDS[] = {"the ", "archive ", "of ", "and ", "Model ", "coder ", "which ",
                                      "THERE ", "with ", "tion ", "1998, ", "\r\n"};
  Lcg rng{seed};
  Bytes v;
  while (v.size() < n) {
    const std::string w = WORDS[rng.next() % 12];
    v.insert(v.end(), w.begin(), w.end());
  }
  v.resize(n);
  return v;
}

Bytes code_data(size_t n, uint32_t seed) {
  Lcg rng{seed};
  Bytes v;
  while (v.size() < n) {
    switch (rng.next() % 4) {
      case 0: {  // call rel32 to a near target
        const uint32_t target = rng.next() % 4096 - 2048;
        v.push_back(0xE8);
        put_le(v, target, 4);
        break;
      }
      case 1:  // mov eax, [ebp+disp8]; push ebp
        v.insert(v.end(), {0x8B, 0x45, static_cast<uint8_t>(rng.next() % 64), 0x55});
        break;
      case 2:  // mov ecx, imm32
        v.insert(v.end(), {0xB9, rng.byte(), rng.byte(), 0, 0});
        break;
      default:
        v.insert(v.end(), {0x89, 0xE5, 0xC3});
        break;
    }
  }
  v.resize(n);
  return v;
}

Bytes signal_data(size_t n, uint32_t stride, uint32_t noise, uint32_t seed) {
  Lcg rng{seed};
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t channel = static_cast<uint32_t>(i % stride);
    const double t = static_cast<double>(i / stride);
    const int value = static_cast<int>(100.0 * std::sin(t / (9.0 + 3.0 * channel) + channel));
    v[i] = static_cast<uint8_t>(value + 60 * static_cast<int>(channel) + static_cast<int>(rng.next() % (noise + 1)));
  }
  return v;
}

// One random walk shared by all channels, with an offset per channel.
Bytes walk_data(size_t n, uint32_t stride, uint32_t seed) {
  Lcg rng{seed};
  Bytes v(n);
  int level = 0;
  for (size_t i = 0; i < n; ++i) {
    level += static_cast<int>(rng.next() % 7) - 3;
    v[i] = static_cast<uint8_t>(level + 60 * static_cast<int>(i % stride));
  }
  return v;
}

Bytes noise_data(size_t n, uint32_t seed) {
  Lcg rng{seed};
  Bytes v(n);
  for (auto& b : v) b = rng.byte();
  return v;
}

Bytes repeat_data(size_t n, uint32_t seed) {
  Bytes unit = noise_data(3000, seed);
  Bytes v;
  while (v.size() < n) v.insert(v.end(), unit.begin(), unit.end());
  v.resize(n);
  return v;
}

Bytes mixed_data(size_t n, uint32_t seed) {
  Bytes v = text_data(n / 3, seed);
  Bytes c = code_data(n / 3, seed + 1);
  Bytes s = signal_data(n - v.size() - c.size(), 2, 4, seed + 2);
  v.insert(v.end(), c.begin(), c.end());
  v.insert(v.end(), s.begin(), s.end());
  return v;
}

struct Sample {
  std::string name;
  Bytes data;
};

std::vector<Sample> samples() {
  return {{"text", text_data(6000, 1)},           {"code", code_data(5000, 2)},
          {"wave1", signal_data(4000, 1, 3, 3)},  {"wave2", signal_data(6000, 2, 6, 4)},
          {"wave4", signal_data(6000, 4, 1, 5)},  {"noise", noise_data(3000, 6)},
          {"repeat", repeat_data(20000, 7)},      {"mixed", mixed_data(15000, 8)},
          {"wave16", signal_data(20000, 16, 10, 10)}, {"walk1", walk_data(8000, 1, 11)},
          {"walk3", walk_data(8000, 3, 12)},     {"tiny", Bytes{'h', 'i', '\n'}}};
}

void write_file(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}


Bytes with_params(Bytes params, const Bytes& rest) {
  params.insert(params.end(), rest.begin(), rest.end());
  return params;
}

void start_pipeline(tarn::BlockPipeline& p, uint8_t method) {
  p.start_stream({method, tarn::FILTER_ALLOW_ALL}, 1);
}

// Chunk streams as fuzz_decode_buffer reads them: the method byte, then two
// chunks of one stream (1 MiB heap).
void chunk_stream_seeds(const fs::path& dir, std::set<uint8_t>& types) {
  int k = 0;
  for (const Sample& s : samples()) {
    for (uint8_t method = 1; method <= tarn::METHOD_EXTREME; method += (s.name == "mixed" ? 1 : 2)) {
      tarn::BlockPipeline encoder;
      start_pipeline(encoder, method);
      tarn::ByteSink sink;
      const size_t half = s.data.size() / 2;
      encoder.compress_buffer(Bytes(s.data.begin(), s.data.begin() + half), sink);
      encoder.compress_buffer(Bytes(s.data.begin() + half, s.data.end()), sink);
      encoder.stop_suballocator();
      tarn::BlockPipeline decoder;
      start_pipeline(decoder, method);
      tarn::MemorySource in(sink.bytes());
      for (int c = 0; c < 2; ++c) {
        tarn::ChunkTrace trace;
        decoder.decode_buffer(in, &trace);
        for (const auto& b : trace.blocks) types.insert(b.type);
      }
      decoder.stop_suballocator();
      write_file(dir / ("chunk-" + std::to_string(k++)), with_params({static_cast<uint8_t>(method - 1)}, sink.bytes()));
    }
  }
}

// Filtered blocks as fuzz_undo_filters reads them.
void filter_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    Bytes work(tarn::WORK_BUFFER_SIZE);
    std::copy(s.data.begin(), s.data.end(), work.begin());
    auto length = static_cast<uint32_t>(s.data.size());
    uint8_t type = tarn::try_exe_filter(work.data(), length, 1000);
    if (type == 0) type = tarn::try_text_filter(work.data(), length);
    if (type == 0) type = tarn::try_stride_and_mm_filters(work.data(), length, true, true);
    if (type == 0) continue;
    Bytes params{type};
    put_le(params, 1000, 4);
    put_le(params, 0, 3);
    write_file(dir / ("block-" + std::to_string(k++)), with_params(params, Bytes(work.begin(), work.begin() + length)));
  }
}

void ppm_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    for (uint32_t mode : {2u, 5u, 0x80u + 13u}) {
      for (uint32_t heap_shift : {0u, 4u}) {
        tarn::PpmModel model;
        model.start(1 + mode % 15, 4096u << heap_shift, (mode & 0x80) != 0);
        tarn::ByteSink sink;
        tarn::RangeEncoder coder(sink);
        coder.init();
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.data.size(), 65535));
        const uint32_t half = n / 2;
        model.encode_block(coder, s.data.data(), half);
        model.encode_block(coder, s.data.data() + half, n - half);
        coder.flush();
        Bytes params{static_cast<uint8_t>(mode), static_cast<uint8_t>(heap_shift)};
        put_le(params, half, 2);
        put_le(params, n - half, 2);
        write_file(dir / ("ppm-" + std::to_string(k++)), with_params(params, sink.bytes()));
      }
    }
  }
}

void order0_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    for (const bool sorted : {true, false}) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.data.size(), 8000));
      tarn::Order0Coder coder0;
      tarn::SortTransform sort;
      tarn::ByteSink sink;
      tarn::RangeEncoder coder(sink);
      coder.init();
      Bytes work(tarn::WORK_BUFFER_SIZE);
      for (uint32_t half : {n / 2, n - n / 2}) {
        std::copy_n(s.data.begin(), half, work.begin());
        if (sorted) sort.forward(work.data(), half);
        coder0.order0_encode(coder, work.data(), half + 2);
      }
      coder.flush();
      Bytes params{static_cast<uint8_t>(sorted ? 0 : 1)};
      put_le(params, n / 2, 2);
      put_le(params, n - n / 2, 2);
      write_file(dir / ("order0-" + std::to_string(k++)), with_params(params, sink.bytes()));
    }
  }
}

void predictor_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.data.size(), 8000));
    tarn::BytePredictor predictor;
    tarn::ByteSink sink;
    tarn::RangeEncoder coder(sink);
    coder.init();
    predictor.encode(coder, s.data.data(), n / 2);
    predictor.encode(coder, s.data.data() + n / 2, n - n / 2);
    coder.flush();
    Bytes params;
    put_le(params, n / 2, 2);
    put_le(params, n - n / 2, 2);
    write_file(dir / ("predictor-" + std::to_string(k++)), with_params(params, sink.bytes()));
  }
}

void long_repeat_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    Bytes buffer = s.data;
    tarn::LongRepeat prepass;
    prepass.long_repeat_encode(buffer);
    if (!prepass.header().applied) continue;
    Bytes params;
    put_le(params, prepass.header().plain_length, 3);
    put_le(params, static_cast<uint32_t>(buffer.size()), 3);
    write_file(dir / ("repeat-" + std::to_string(k++)), with_params(params, buffer));
  }
}

void roundtrip_seeds(const fs::path& dir) {
  int k = 0;
  for (const Sample& s : samples()) {
    const uint8_t mode = static_cast<uint8_t>(k % 6);
    Bytes data(s.data.begin(), s.data.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(s.data.size(), 12000)));
    write_file(dir / ("roundtrip-" + std::to_string(k++)), with_params({mode, 128}, data));
  }
}

// Archives from tarnc: every method over a small tree, solid groups, stored
// files and recorded directories.
void archive_seeds(const fs::path& out, const std::string& tarnc) {
  const fs::path work = fs::temp_directory_path() / ("tarn-seeds-" + std::to_string(::getpid()));
  fs::remove_all(work);
  for (const Sample& s : samples()) {
    Bytes small(s.data.begin(), s.data.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(s.data.size(), 3000)));
    write_file(work / "tree" / (s.name + ".dat"), small);
  }
  write_file(work / "tree" / "sub" / "note.txt", text_data(500, 9));
  fs::create_directories(work / "tree" / "empty");
  const char* const runs[] = {"-m0", "-mq", "-mf", "-mn", "-mg", "-ms", "-me", "-mq -b", "-mn -b", "-me -b",
                              "-mf -r -d", "-mq -ftemsl"};
  int k = 0;
  std::vector<std::string> made;
  for (const char* switches : runs) {
    const std::string name = "a" + std::to_string(k++) + ".trn";
    const std::string command = "cd '" + work.string() + "' && '" + tarnc + "' c " + switches + " " + name +
                                " 'tree/*' > /dev/null";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
    made.push_back(name);
  }
  for (size_t i = 0; i < made.size(); ++i) {
    const Bytes archive = read_file(work / made[i]);
    write_file(out / "fuzz_archive_list" / made[i], archive);
    write_file(out / "fuzz_archive_test" / made[i], archive);
  }
  fs::remove_all(work);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_seeds OUTPUT_DIR TARNC\n");
    return 2;
  }
  const fs::path out = fs::absolute(argv[1]);
  std::set<uint8_t> types;
  chunk_stream_seeds(out / "fuzz_decode_buffer", types);
  filter_seeds(out / "fuzz_undo_filters");
  ppm_seeds(out / "fuzz_ppm_decode");
  order0_seeds(out / "fuzz_order0_decode");
  predictor_seeds(out / "fuzz_byte_predictor_decode");
  long_repeat_seeds(out / "fuzz_long_repeat_decode");
  roundtrip_seeds(out / "fuzz_roundtrip");
  archive_seeds(out, fs::absolute(argv[2]).string());
  std::printf("block types in the chunk-stream seeds:");
  for (uint8_t t : types) std::printf(" %02X", t);
  std::printf("\n");
  return 0;
}
