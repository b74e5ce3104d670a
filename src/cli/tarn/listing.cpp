// list and info: tables for people, JSON for programs. The JSON keys are
// documented in tarn.1 and stay as they are.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cli/tarn/commands.h"
#include "cli/tarn/report.h"

namespace tarn_cli {

namespace {

std::string iso_time(int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &tt);
#else
  gmtime_r(&tt, &tm);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The length of the UTF-8 sequence at `s[i]`, or 0 when it is not one.
size_t utf8_length(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  if (n == 3 && ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) >= 0xA0))) return 0;  // overlong, surrogate
  if (n == 4 && ((c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

}  // namespace

// A JSON string of bytes: UTF-8 as it is, control characters, '"' and '\\'
// escaped, and each byte that is not UTF-8 as U+FFFD (name_hex keeps them).
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_length(s, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char e[8];
          std::snprintf(e, sizeof e, "\\u%04x", c);
          out += e;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

std::string hex_of(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string ratio_text(uint64_t packed, uint64_t size) {
  if (size == 0) return "-";
  char t[16];
  std::snprintf(t, sizeof t, "%.1f%%", 100.0 * static_cast<double>(packed) / static_cast<double>(size));
  return t;
}

std::string attribute_letters(uint32_t a) {
  std::string s;
  s += (a & TARN_ATTR_DIRECTORY) ? 'D' : '.';
  s += (a & TARN_ATTR_READ_ONLY) ? 'R' : '.';
  s += (a & TARN_ATTR_HIDDEN) ? 'H' : '.';
  s += (a & TARN_ATTR_SYSTEM) ? 'S' : '.';
  s += (a & TARN_ATTR_ARCHIVE) ? 'A' : '.';
  return s;
}

std::string mode_text(const tarn_entry& e) {
  static const char rwx[] = "rwx";
  std::string s(1, e.is_directory ? 'd' : '-');
  for (int k = 8; k >= 0; --k) s += (e.mode >> k) & 1 ? rwx[(8 - k) % 3] : '-';
  return s;
}

}  // namespace

int run_list(const Options& o) {
  Opened opened;
  const int status = open_selected(o, opened);
  if (opened.reader == nullptr) return status;
  // A group's packed size and bytes, for the ratio of its first member.
  const size_t count = tarn_reader_entry_count(opened.reader);
  std::vector<uint64_t> group_bytes;
  std::vector<tarn_entry> entries(count);
  for (size_t i = 0; i < count; ++i) {
    tarn_reader_entry(opened.reader, i, &entries[i]);
    if (group_bytes.size() <= entries[i].group) group_bytes.resize(entries[i].group + 1, 0);
    group_bytes[entries[i].group] += entries[i].size;
  }
  uint64_t total = 0, packed = 0;
  if (o.json) std::fputs("[", stdout);
  bool first = true;
  for (const size_t i : opened.selected) {
    const tarn_entry& e = entries[i];
    const bool head = e.packed_size > 0 || e.group_size == 1;
    const std::string name = display_name(e.name);
    total += e.size;
    packed += e.packed_size;
    if (o.json) {
      std::printf("%s\n  {\"name\": %s, \"name_hex\": \"%s\", \"size\": %" PRIu64 ", \"packed_size\": %" PRIu64
                  ", \"mtime\": \"%s\", \"mtime_unix\": %" PRId64 ", \"mode\": \"%04o\", \"attributes\": %u"
                  ", \"crc32\": \"%08x\", \"directory\": %s, \"stored\": %s, \"group\": %" PRIu64
                  ", \"group_size\": %" PRIu64 "}",
                  first ? "" : ",", json_string(name).c_str(), hex_of(e.name).c_str(), e.size, e.packed_size,
                  iso_time(e.mtime).c_str(), e.mtime, e.mode, e.attributes, e.crc, e.is_directory ? "true" : "false",
                  e.is_stored ? "true" : "false", e.group, e.group_size);
      first = false;
      continue;
    }
    if (o.quiet && !o.long_form) {
      std::printf("%s\n", name.c_str());
      continue;
    }
    if (first) {
      if (o.long_form)
        std::printf("%12s %12s %7s  %-20s  %-10s  %-8s  %-5s  %-12s  %s\n", "Size", "Packed", "Ratio", "Modified (UTC)",
                    "Mode", "CRC-32", "Attr", "Group", "Name");
      else
        std::printf("%12s %12s %7s  %-20s  %-10s  %-8s  %s\n", "Size", "Packed", "Ratio", "Modified (UTC)", "Mode",
                    "CRC-32", "Name");
      first = false;
    }
    const std::string packed_text = head ? std::to_string(e.packed_size) : "-";
    const std::string ratio = e.is_directory ? "-" : head ? ratio_text(e.packed_size, group_bytes[e.group]) : "solid";
    if (o.long_form) {
      const std::string group = std::to_string(e.group) + (e.group_size > 1 ? "/" + std::to_string(e.group_size) : "") +
                                (e.is_stored ? " st" : "");
      std::printf("%12" PRIu64 " %12s %7s  %-20s  %-10s  %08x  %-5s  %-12s  %s\n", e.size, packed_text.c_str(),
                  ratio.c_str(), iso_time(e.mtime).c_str(), mode_text(e).c_str(), e.crc,
                  attribute_letters(e.attributes).c_str(), group.c_str(), name.c_str());
    } else {
      std::printf("%12" PRIu64 " %12s %7s  %-20s  %-10s  %08x  %s\n", e.size, packed_text.c_str(), ratio.c_str(),
                  iso_time(e.mtime).c_str(), mode_text(e).c_str(), e.crc, name.c_str());
    }
  }
  if (o.json) {
    std::puts(first ? "]" : "\n]");
  } else if (!o.quiet && !first) {
    std::printf("%12" PRIu64 " %12" PRIu64 " %7s  %zu entries\n", total, packed, ratio_text(packed, total).c_str(),
                opened.selected.size());
  }
  return status;
}

int run_info(const Options& o) {
  Opened opened;
  Options all = o;
  all.operands.resize(all.operands.empty() ? 0 : 1);
  const int status = open_selected(all, opened);
  if (opened.reader == nullptr) return status;
  tarn_archive_info info{};
  tarn_reader_info(opened.reader, &info);
  uint64_t files = 0, directories = 0, groups = 0, solid = 0, packed = 0;
  const size_t count = tarn_reader_entry_count(opened.reader);
  for (size_t i = 0; i < count; ++i) {
    tarn_entry e;
    tarn_reader_entry(opened.reader, i, &e);
    (e.is_directory ? directories : files) += 1;
    packed += e.packed_size;
    if (e.packed_size > 0 || e.group_size == 1) {
      ++groups;
      if (e.group_size > 1) ++solid;
    }
  }
  const std::string& name = o.operands[0];
  if (o.json) {
    std::printf("{\"archive\": %s, \"method\": \"%s\", \"method_number\": %d, \"entries\": %" PRIu64
                ", \"files\": %" PRIu64 ", \"directories\": %" PRIu64 ", \"total_size\": %" PRIu64
                ", \"packed_size\": %" PRIu64 ", \"archive_size\": %" PRIu64 ", \"header_offset\": %" PRIu64
                ", \"pieces\": %" PRIu64 ", \"solid_groups\": %" PRIu64 "}\n",
                json_string(name).c_str(), method_name(info.method), info.method, info.entry_count, files, directories,
                info.total_size, packed, info.archive_size, info.header_offset, groups, solid);
    return status;
  }
  std::printf("Archive:       %s\n", name.c_str());
  std::printf("Method:        %s (%d)\n", method_name(info.method), info.method);
  std::printf("Entries:       %" PRIu64 " (%" PRIu64 " files, %" PRIu64 " directories)\n", info.entry_count, files,
              directories);
  std::printf("Total size:    %" PRIu64 " bytes\n", info.total_size);
  std::printf("Packed:        %" PRIu64 " bytes (%s)\n", packed, ratio_text(packed, info.total_size).c_str());
  std::printf("Archive size:  %" PRIu64 " bytes\n", info.archive_size);
  std::printf("Pieces:        %" PRIu64 " (%" PRIu64 " solid groups)\n", groups, solid);
  if (info.header_offset > 0) std::printf("Self-extractor stub: %" PRIu64 " bytes\n", info.header_offset);
  return status;
}

}  // namespace tarn_cli
