// The program's fixed screens: banner, usage, the listing and the archive
// information screen. Everything goes to standard output.
#pragma once

#include <cstdint>

#include "archive/archive_reader.h"
#include "files/file_list.h"

namespace tarn {

void print_banner();
void print_usage_text();  // the banner included
void print_listing_header();
void print_listing(const FileList& entries);
void print_archive_info(ArchiveReader& archive);
// Completes a summary line: "%.5f seconds.\n" with the milliseconds times
// the single-precision constant 0.001, multiplied in double precision.
void print_elapsed_seconds(int64_t milliseconds);

}  // namespace tarn
