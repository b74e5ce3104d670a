// The two sorts of the creation driver and the removal of duplicates.
//
// sort_entries_by_name is a multikey (ternary string) quicksort on the names
// read as signed bytes, the terminating NUL counting as 0; sort_entries_by_key
// a quicksort on the unsigned grouping key kept in `crc`. Both exchange the
// first slot with a pseudo-randomly drawn one before each partition, drawing
// from the run's PivotGenerator, so the result among equal keys is fixed.
#pragma once

#include <cstddef>
#include <vector>

#include "files/file_list.h"
#include "files/pivot_generator.h"

namespace tarn {

void sort_entries_by_name(FileEntry** v, size_t n, size_t depth, PivotGenerator& random);
inline void sort_entries_by_name(std::vector<FileEntry*>& v, PivotGenerator& random) {
  sort_entries_by_name(v.data(), v.size(), 0, random);
}

// Over a name-sorted array: empties (sets to null) the slot of every entry
// whose name equals the next one's, so the last of an equal run survives.
// Returns true when a duplicate was seen; the caller prints the warning once.
bool remove_duplicate_entries(std::vector<FileEntry*>& v);

void sort_entries_by_key(FileEntry** v, size_t n, PivotGenerator& random);
inline void sort_entries_by_key(std::vector<FileEntry*>& v, PivotGenerator& random) {
  sort_entries_by_key(v.data(), v.size(), random);
}

}  // namespace tarn
