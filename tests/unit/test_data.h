// Deterministic test data and small helpers shared by the tests: files,
// range-coded streams and the error a call throws.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "coder/range_coder.h"
#include "common/error.h"

namespace tarn::testdata {

// A small linear congruential generator: the same bytes on every platform.
// Bytes come from the top bits; the low bits of such a generator repeat
// with short periods, which would plant repetitions in "random" data.
class Lcg {
 public:
  explicit Lcg(uint32_t seed) : state_(seed) {}
  uint32_t next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }
  uint8_t byte() { return static_cast<uint8_t>(next() >> 16); }

 private:
  uint32_t state_;
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  Lcg rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = rng.byte();
  return v;
}

// Words, numbers, a binary stretch, a run of zeros and repeated paragraphs:
// something for every stage to chew on.
inline std::vector<uint8_t> mixed_bytes(size_t n, uint32_t seed) {
  static const char* const WORDS[] = {"the ", "format ", "of ", "archive ", "block ", "and ",
                                      "model ", "range ", "coder ", "\r\n", "repeat ", "1997 "};
  Lcg rng(seed);
  std::vector<uint8_t> v;
  v.reserve(n);
  while (v.size() < n) {
    switch (rng.next() % 8) {
      case 0: {
        size_t len = 200 + rng.next() % 3000;
        for (size_t i = 0; i < len; ++i) v.push_back(rng.byte());
        break;
      }
      case 1:
        v.insert(v.end(), 100 + rng.next() % 5000, 0);
        break;
      case 2:
        if (v.size() > 1000) {
          size_t len = 56 + rng.next() % 4000;
          size_t from = rng.next() % (v.size() - 500);
          for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);  // may overlap itself
        }
        break;
      default:
        for (int w = 0; w < 300; ++w) {
          const std::string word = WORDS[rng.next() % 12];
          v.insert(v.end(), word.begin(), word.end());
        }
        break;
    }
  }
  v.resize(n);
  return v;
}

// Two interleaved channels of a random walk (steps of -3 to 3, the second
// channel 60 above the first): what the order-0 coder's sorted blocks take.
inline std::vector<uint8_t> random_walk(size_t n, uint32_t seed) {
  Lcg rng(seed);
  std::vector<uint8_t> v(n);
  int level = 0;
  for (size_t i = 0; i < n; ++i) {
    level += static_cast<int>(rng.next() % 7) - 3;
    v[i] = static_cast<uint8_t>(level + 60 * static_cast<int>(i % 2));
  }
  return v;
}

// The same bytes as a string.
inline std::string random_text(size_t n, uint32_t seed) {
  const auto v = random_bytes(n, seed);
  return {v.begin(), v.end()};
}
inline std::string mixed_text(size_t n, uint32_t seed) {
  const auto v = mixed_bytes(n, seed);
  return {v.begin(), v.end()};
}

// A whole file; empty when it is missing.
inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file of the repository's test data, tests/data/ (canterbury/, golden/).
inline std::string data_path(const std::string& relative) { return std::string(TARN_TEST_DATA_DIR) + "/" + relative; }

// The bytes of a test data file. A missing file throws, which fails the
// test that asked for it with the file's name (and never crashes it).
inline std::vector<uint8_t> data_bytes(const std::string& relative) {
  const std::string path = data_path(relative);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("missing test data file " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The generated inputs of the golden cases lcg1m (1,200,000 bytes, seed 11)
// and lcg6m (6,000,000 bytes, seed 12): letters drawn by a 31-bit linear
// congruential generator, s = s * 1103515245 + 12345 mod 2^31, each step
// giving s >> 8, whose top five bits pick one of 32 letters.
inline std::vector<uint8_t> lcg_letters(size_t n, uint32_t seed) {
  static const char ALPHA[] = "etaoinshrdlucmfwypvbgkjqxz ETAOI";
  std::vector<uint8_t> v(n);
  uint32_t s = seed;
  for (auto& b : v) {
    s = (s * 1103515245u + 12345u) & 0x7FFFFFFFu;
    b = static_cast<uint8_t>(ALPHA[(s >> 8) >> 18]);
  }
  return v;
}

// The stream `body` codes between init and flush.
template <typename Body>
std::vector<uint8_t> encode_stream(Body body) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  body(enc);
  enc.flush();
  return sink.bytes();
}

// Runs `body` on a decoder over `stream`; returns the bytes left unread.
template <typename Body>
size_t decode_stream(const std::vector<uint8_t>& stream, Body body) {
  MemorySource src(stream);
  RangeDecoder dec(src);
  dec.init();
  body(dec);
  return src.remaining();
}

// The code of the TarnError `body` throws; NO_ERROR when it returns.
constexpr ErrorCode NO_ERROR = static_cast<ErrorCode>(255);
template <typename Body>
ErrorCode error_of(Body body) {
  try {
    body();
  } catch (const TarnError& e) {
    return e.code();
  }
  return NO_ERROR;
}

}  // namespace tarn::testdata
