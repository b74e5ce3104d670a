#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/pivot_generator.h"
#include "files/sorts.h"

namespace tarn {
namespace {

// Entries with the given names, and pointers to them as the sorts take them.
struct Entries {
  std::vector<FileEntry> entries;
  std::vector<FileEntry*> v;
  explicit Entries(const std::vector<std::string>& names) {
    for (const auto& n : names) entries.push_back(FileEntry{n});
    for (auto& e : entries) v.push_back(&e);
  }
};

TEST(PivotGenerator, DrawsTheFixedSequenceFromStateOne) {
  PivotGenerator g;
  for (uint32_t e : {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358}) EXPECT_EQ(g.next(), e);
}

TEST(SortByName, UsesSignedBytesWithTheEndOfNameAsZero) {
  Entries example({"a!", "a", std::string("a\xE9")});
  PivotGenerator g;
  sort_entries_by_name(example.v, g);
  EXPECT_EQ(example.v[0]->name, std::string("a\xE9"));
  EXPECT_EQ(example.v[1]->name, "a");
  EXPECT_EQ(example.v[2]->name, "a!");

  // And on many names it agrees with a signed comparison.
  std::vector<std::string> names;
  uint32_t x = 7;
  for (int i = 0; i < 400; ++i) {
    std::string s;
    const int len = 1 + static_cast<int>((x >> 8) % 5);
    for (int k = 0; k < len; ++k) {
      x = x * 1103515245u + 12345u;
      s += "ab\\.\xE0Z"[(x >> 16) % 6];
    }
    names.push_back(s);
  }
  Entries many(names);
  sort_entries_by_name(many.v, g);
  auto signed_less = [](const std::string& a, const std::string& b) {
    for (size_t i = 0;; ++i) {
      const int ca = i < a.size() ? static_cast<signed char>(a[i]) : 0;
      const int cb = i < b.size() ? static_cast<signed char>(b[i]) : 0;
      if (ca != cb) return ca < cb;
      if (ca == 0) return false;
    }
  };
  for (size_t i = 1; i < many.v.size(); ++i) EXPECT_FALSE(signed_less(many.v[i]->name, many.v[i - 1]->name)) << i;
}

TEST(RemoveDuplicates, KeepsTheLastOfEachRunAndReportsOnce) {
  Entries dups({"a", "a", "a", "b", "c", "c"});
  EXPECT_TRUE(remove_duplicate_entries(dups.v));
  std::vector<std::string> left;
  for (auto* e : dups.v) left.push_back(e ? e->name : "-");
  EXPECT_EQ(left, (std::vector<std::string>{"-", "-", "a", "b", "-", "c"}));
  EXPECT_EQ(dups.v[2], &dups.entries[2]);
  Entries distinct({"a", "A", "b"});
  EXPECT_FALSE(remove_duplicate_entries(distinct.v));
}

TEST(SortByKey, OrdersByUnsignedKey) {
  Entries keyed(std::vector<std::string>(50));
  uint32_t x = 99;
  for (auto& e : keyed.entries) {
    x = x * 1664525u + 1013904223u;
    e.crc = x % 7 == 0 ? 0xFFFFFFF0u : x % 1000;
  }
  PivotGenerator g;
  sort_entries_by_key(keyed.v, g);
  for (size_t i = 1; i < keyed.v.size(); ++i) EXPECT_LE(keyed.v[i - 1]->crc, keyed.v[i]->crc);
}

}  // namespace
}  // namespace tarn
