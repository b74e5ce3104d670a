// Layout of the listing: one fixed-width row per table entry, in table
// order. The ratio column shows the packed share of a file that is a group
// of its own and " ???" for every member of a solid group, since a member's
// share of the group's piece is unknown.
#include "cli/screens.h"

#include <cstdio>

#include "archive/format.h"
#include "cli/display_name.h"
#include "common/version.h"

namespace tarn {

namespace {
const char* const RULE = "==============================================================================\n";
}

void print_banner() { std::fputs(ARCHIVER_BANNER, stdout); }

void print_usage_text() {
  print_banner();
  std::fputs(
      " Usage: tarnc <command> [-/sw1] [-/sw2] archive[.trn] [wildcard] ...\n"
      "\n Commands:"
      "\n   c - Create                     e - Extract without pathnames"
      "\n   x - eXtract                    l - List"
      "\n   t - Test                       i - Info"
      "\n"
      "\n Switches:"
      "\n   -m[0,q,f,n,g,s,e] - packing method (Store,Quickest,Fast,Normal,"
      "\n                                       Good,Superb,Extreme)"
      "\n   -r - Recurse subdirectories    -d - store Directories"
      "\n   -s - SelF-eXtracting archive   -b - use solid Blocks"
      "\n   -- - stop switch parsing  -o<dir> - set Output directory"
      "\n   -f[temsl] - DISABLE Filtering of: [text; IA-32 exe; mm; swap; low-red]"
      "\n"
      "\n"
      "\n",
      stdout);
}

void print_elapsed_seconds(int64_t milliseconds) {
  const double factor = static_cast<double>(0.001f);
  std::printf("%.5f seconds.\n", static_cast<double>(milliseconds) * factor);
}

void print_listing_header() {
  std::fputs("  Original      Compr.    Date      Time    Ratio   Attr   Filename           \n", stdout);
  std::fputs(RULE, stdout);
}

namespace {

void print_listing_row(const FileEntry& e, bool own_group) {
  const long day = e.dos_date & 31;
  const long month = (e.dos_date >> 5) & 15;
  const long year = (e.dos_date >> 9) + 1980;
  const long hours = e.dos_time >> 11;
  const long minutes = (e.dos_time >> 5) & 63;
  const long seconds = (e.dos_time & 31) * 2;
  std::printf("%10ld  %10ld  %02ld.%02ld.%02ld  %02ld:%02ld:%02ld  ", static_cast<long>(e.size),
              static_cast<long>(e.packed_size), day, month, year % 100, hours, minutes, seconds);
  if (own_group) {
    const double divisor = e.size == 0 ? 1.0 : static_cast<double>(e.size);
    std::printf("%3.0f%%   ", static_cast<double>(e.packed_size) * 100.0 / divisor);
  } else {
    std::fputs(" ???   ", stdout);
  }
  const uint32_t a = e.attributes;
  std::printf("%c%c%c%c%c   ", (a & ATTR_READ_ONLY) ? 'R' : '.', (a & ATTR_HIDDEN) ? 'H' : '.',
              (a & ATTR_SYSTEM) ? 'S' : '.', (a & ATTR_DIRECTORY) ? 'D' : '.', (a & ATTR_ARCHIVE) ? 'A' : '.');
  std::printf("%s\n", format_display_name(e.name, 18).c_str());
}

}  // namespace

void print_listing(const FileList& list) {
  const auto& entries = list.entries();
  for (const EntryGroup& g : split_into_groups(entries.size(), [&](size_t i) { return entries[i].flags; })) {
    for (size_t k = 0; k < g.count; ++k) {
      const FileEntry& e = entries[g.first + k];
      // A file with a ratio of its own: a group of one that is no member.
      print_listing_row(e, g.count == 1 && (e.flags & FLAG_SOLID_CONTINUATION) == 0);
    }
  }
  std::fputs(RULE, stdout);
  std::printf("%ld file(s)\n\n", static_cast<long>(entries.size()));
}

void print_archive_info(ArchiveReader& archive) {
  const ArchiveHeader& h = archive.header();
  const uint64_t length = archive.length();
  std::printf("\n -> Archive name     : %s\n", format_display_name(archive.archive_name(), 50).c_str());
  std::printf(" -> Number of labels : %ld\n", static_cast<long>(h.entry_count));
  std::printf(" -> Original size    : %ld\n", static_cast<long>(h.total_size));
  std::printf(" -> Compressed size  : %ld\n", static_cast<long>(length));
  const double total = h.total_size == 0 ? 1.0 : static_cast<double>(h.total_size);
  const double k = 1.0 / total;
  std::printf(" -> Ratio            : %.3f %% ( %.3f bpb )\n", 100.0 * static_cast<double>(length) * k,
              static_cast<double>(length) * 8.0 * k);
  std::fputs(" -> Method           : ", stdout);
  const unsigned method = h.method & 15;
  if (method < METHOD_PARAMETERS.size()) std::fputs(METHOD_PARAMETERS[method].name, stdout);
  std::fputs("\n", stdout);
}

}  // namespace tarn
