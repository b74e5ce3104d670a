// Deterministic test data shared by the coder and pipeline tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace tarn::testdata
