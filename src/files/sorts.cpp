// Multikey quicksort (Bentley and Sedgewick) on names, and a plain quicksort
// on keys, each written step for step as the format describes them: the
// number of pivots drawn, and so the generator's state handed from the name
// sort to the key sort, depends on every exchange.
//
// Name sort, one partition at depth d with pivot byte p:
//   [ =p (front block) | <p | >p | =p (back block) ]  after the scan,
// then the equal blocks are swapped to the middle; the <p part is sorted at
// depth d, the =p part at depth d + 1 (unless p is the terminator), and the
// loop continues with the >p part.
#include "files/sorts.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarn {

namespace {

int name_key(const FileEntry* e, size_t depth) {
  const std::string& s = e->name;
  return depth < s.size() ? static_cast<int>(static_cast<signed char>(s[depth])) : 0;
}

void swap_ranges_at(FileEntry** v, size_t i, size_t j, size_t count) {
  for (size_t k = 0; k < count; ++k) std::swap(v[i + k], v[j + k]);
}

}  // namespace

void sort_entries_by_name(FileEntry** v, size_t n, size_t depth, PivotGenerator& random) {
  while (n > 1) {
    std::swap(v[0], v[random.next() % n]);
    const int p = name_key(v[0], depth);
    // Signed indices: j may step below i.
    ptrdiff_t a = 1, i = 1;
    ptrdiff_t j = static_cast<ptrdiff_t>(n) - 1, z = j;
    for (;;) {
      int k;
      while (i <= j && (k = name_key(v[i], depth)) <= p) {
        if (k == p) std::swap(v[a++], v[i]);
        ++i;
      }
      while (i <= j && (k = name_key(v[j], depth)) >= p) {
        if (k == p) std::swap(v[j], v[z--]);
        --j;
      }
      if (i > j) break;
      std::swap(v[i++], v[j--]);
    }
    const auto sn = static_cast<ptrdiff_t>(n);
    ptrdiff_t s = std::min(a, i - a);
    swap_ranges_at(v, 0, static_cast<size_t>(i - s), static_cast<size_t>(s));
    s = std::min(z - j, sn - z - 1);
    swap_ranges_at(v, static_cast<size_t>(i), static_cast<size_t>(sn - s), static_cast<size_t>(s));
    sort_entries_by_name(v, static_cast<size_t>(i - a), depth, random);
    if (p != 0) sort_entries_by_name(v + (i - a), static_cast<size_t>(a + sn - z - 1), depth + 1, random);
    v += sn - (z - j);
    n = static_cast<size_t>(z - j);
  }
}

bool remove_duplicate_entries(std::vector<FileEntry*>& v) {
  bool seen = false;
  for (size_t i = 0; i + 1 < v.size(); ++i) {
    if (v[i] != nullptr && v[i + 1] != nullptr && v[i]->name == v[i + 1]->name) {
      v[i] = nullptr;
      seen = true;
    }
  }
  return seen;
}

void sort_entries_by_key(FileEntry** v, size_t n, PivotGenerator& random) {
  while (n > 1) {
    std::swap(v[0], v[random.next() % n]);
    const uint32_t p = v[0]->crc;
    ptrdiff_t i = 1, j = static_cast<ptrdiff_t>(n) - 1;
    for (;;) {
      while (i <= j && v[i]->crc < p) ++i;
      while (j >= i && v[j]->crc >= p) --j;
      if (i > j) break;
      std::swap(v[i++], v[j--]);
    }
    sort_entries_by_key(v, static_cast<size_t>(j + 1), random);
    v += i;
    n -= static_cast<size_t>(i);
  }
}

}  // namespace tarn
