// The C interface: every call, bad arguments, damaged input, and archives
// byte for byte those of the command line's creation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/selection.h"
#include "platform/filesystem.h"
#include "tarn/tarn.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::mixed_text;
using testdata::random_text;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Files of several kinds in a small tree, with fixed times and modes.
void make_files() {
  write_file("in/a.txt", mixed_text(30000, 1));
  write_file("in/b.txt", mixed_text(2000, 2));
  write_file("in/noise.bin", random_text(5000, 3));
  write_file("in/empty", "");
  write_file("in/sub/c.txt", mixed_text(70000, 4));
  write_file("in/sub/deeper/d.txt", mixed_text(500, 5));
  for (const auto& e : std::filesystem::recursive_directory_iterator("in")) {
    const auto when = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    std::filesystem::last_write_time(e.path(), when);
  }
}

// What tarnc c would write for these wildcards and switches.
std::string tarnc_archive(const std::vector<std::string>& wildcards, uint8_t method, bool solid, bool recurse) {
  testing::create_from(testing::select_files(wildcards, {recurse, recurse}), testing::create_options(method, solid),
                       "ref.trn");
  return read_file("ref.trn");
}

tarn_write_options write_options(int method, bool solid) {
  tarn_write_options o;
  tarn_write_options_init(&o);
  o.method = method;
  o.solid = solid ? 1 : 0;
  return o;
}

std::vector<std::string> names_of(tarn_reader* r) {
  std::vector<std::string> names;
  for (size_t i = 0; i < tarn_reader_entry_count(r); ++i) {
    tarn_entry e;
    EXPECT_EQ(tarn_reader_entry(r, i, &e), TARN_OK);
    names.push_back(e.name);
  }
  return names;
}

std::string entry_bytes(tarn_reader* r, size_t index, tarn_result expected = TARN_OK) {
  void* data = nullptr;
  size_t size = 0;
  EXPECT_EQ(tarn_extract_to_memory(r, index, &data, &size), expected) << tarn_last_error();
  std::string bytes(static_cast<const char*>(data), size);
  tarn_free(data);
  return bytes;
}

TEST(CApi, VersionAndResultTexts) {
  EXPECT_EQ(tarn_version_number(), static_cast<unsigned>(TARN_VERSION_NUMBER));
  EXPECT_STREQ(tarn_version_string(), TARN_VERSION_STRING);
  for (int r = TARN_OK; r <= TARN_ERROR_STUB; ++r) EXPECT_STRNE(tarn_strerror(r), "unknown result") << r;
  EXPECT_STREQ(tarn_strerror(999), "unknown result");
}

// For the same files, names, times and options the writer makes tarnc c's
// archive byte for byte: single files and solid groups, several methods,
// files one by one and whole trees.
TEST(CApi, WriterMakesTheCommandLinesArchive) {
  TempDir dir;
  make_files();
  const std::vector<std::string> files = {"in/a.txt", "in/b.txt", "in/noise.bin", "in/empty", "in/sub/c.txt"};
  for (const int method : {0, 1, 3, 6}) {
    for (const bool solid : {false, true}) {
      SCOPED_TRACE(std::to_string(method) + (solid ? " solid" : ""));
      const std::string expected = tarnc_archive(files, static_cast<uint8_t>(method), solid, false);
      const tarn_write_options o = write_options(method, solid);
      tarn_writer* w = nullptr;
      ASSERT_EQ(tarn_writer_open(&w, "api.trn", &o), TARN_OK);
      for (const std::string& f : files) ASSERT_EQ(tarn_writer_add_file(w, f.c_str(), nullptr), TARN_OK);
      ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
      EXPECT_TRUE(read_file("api.trn") == expected);
    }
  }
  // A tree: tarnc c -r -d of in/ records the directories below in/, and
  // the tree call also the directory itself.
  const std::string tree = tarnc_archive({"in/"}, 3, true, true);
  tarn_writer* w = nullptr;
  const tarn_write_options o = write_options(3, true);
  ASSERT_EQ(tarn_writer_open(&w, "tree.trn", &o), TARN_OK);
  ASSERT_EQ(tarn_writer_add_tree(w, "in", nullptr, nullptr, nullptr), TARN_OK);
  size_t removed = 0;
  ASSERT_EQ(tarn_writer_remove(w, "in", &removed), TARN_OK);  // the root itself
  EXPECT_EQ(removed, 1u);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
  EXPECT_TRUE(read_file("tree.trn") == tree);
}

// Reading from a path, from callbacks and from memory gives the same table
// and bytes; every entry's fields are there.
TEST(CApi, ReadersOverAPathCallbacksAndMemoryAgree) {
  TempDir dir;
  make_files();
  ::chmod("in/b.txt", 0755);
  const std::string archive = tarnc_archive({"in/"}, 2, true, true);

  tarn_reader* by_path = nullptr;
  ASSERT_EQ(tarn_reader_open(&by_path, "ref"), TARN_OK);  // ".trn" added
  tarn_reader* in_memory = nullptr;
  ASSERT_EQ(tarn_reader_open_memory(&in_memory, archive.data(), archive.size()), TARN_OK);
  FILE* f = std::fopen("ref.trn", "rb");
  tarn_reader* by_callbacks = nullptr;
  ASSERT_EQ(tarn_reader_open_callbacks(
                &by_callbacks,
                [](void* o, void* b, size_t n) -> int64_t { return static_cast<int64_t>(std::fread(b, 1, n, static_cast<FILE*>(o))); },
                [](void* o, int64_t off, int whence) -> int64_t {
                  auto* file = static_cast<FILE*>(o);
                  if (std::fseek(file, off, whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END) != 0) return -1;
                  return std::ftell(file);
                },
                f),
            TARN_OK);

  tarn_archive_info info;
  ASSERT_EQ(tarn_reader_info(by_path, &info), TARN_OK);
  EXPECT_EQ(info.method, 2);
  EXPECT_EQ(info.archive_size, archive.size());
  EXPECT_EQ(info.header_offset, 0u);
  EXPECT_EQ(info.entry_count, tarn_reader_entry_count(by_path));
  EXPECT_EQ(names_of(by_path), names_of(in_memory));
  EXPECT_EQ(names_of(by_path), names_of(by_callbacks));
  tarn_reader_set_threads(by_callbacks, 2);
  for (size_t i = 0; i < tarn_reader_entry_count(by_path); ++i) {
    tarn_entry e;
    ASSERT_EQ(tarn_reader_entry(by_path, i, &e), TARN_OK);
    SCOPED_TRACE(e.name);
    const std::string bytes = entry_bytes(by_path, i);
    EXPECT_EQ(bytes, entry_bytes(in_memory, i));
    EXPECT_EQ(bytes, entry_bytes(by_callbacks, i));
    EXPECT_EQ(std::string(e.path), platform::native_path(e.name));
    EXPECT_EQ(e.is_directory != 0, std::filesystem::is_directory(e.path));
    if (e.is_directory) continue;
    EXPECT_EQ(bytes, read_file(e.path));
    EXPECT_EQ(e.size, bytes.size());
    EXPECT_EQ(e.crc, crc32_of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    EXPECT_EQ(e.mode, std::string(e.name) == "in\\b.txt" ? 0755u : 0644u);
    const auto written = std::filesystem::last_write_time(e.path);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(written).time_since_epoch()).count();
    EXPECT_LE(std::abs(e.mtime - seconds), 2);
    EXPECT_GE(e.group_size, 1u);
  }
  size_t index = 0;
  EXPECT_EQ(tarn_reader_find(by_path, "in/sub/c.txt", &index), TARN_OK);
  EXPECT_EQ(names_of(by_path)[index], "in\\sub\\c.txt");
  EXPECT_EQ(tarn_reader_find(by_path, "nothing", &index), TARN_ERROR_NOT_FOUND);
  tarn_summary summary;
  EXPECT_EQ(tarn_test(by_callbacks, nullptr, 0, &summary), TARN_OK);
  EXPECT_EQ(summary.entries, tarn_reader_entry_count(by_path));
  EXPECT_EQ(summary.damaged, 0u);
  tarn_reader_close(by_path);
  tarn_reader_close(in_memory);
  tarn_reader_close(by_callbacks);
  std::fclose(f);
}

// Streams give an entry's bytes in pieces of any size, and a damaged
// entry's end is reported as such; testing goes on past damaged entries and
// counts them, as t does.
TEST(CApi, StreamsAndDamagedEntries) {
  TempDir dir;
  write_file("in/a.txt", mixed_text(300000, 7));
  write_file("in/b.txt", mixed_text(300000, 8));
  write_file("in/s1.txt", mixed_text(4000, 9));
  write_file("in/s2.txt", mixed_text(4000, 10));
  std::string archive = tarnc_archive({"in/a.txt", "in/b.txt"}, 3, false, false);
  tarn_reader* r = nullptr;
  ASSERT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_OK);
  const std::vector<std::string> names = names_of(r);
  for (size_t i = 0; i < names.size(); ++i) {
    tarn_entry_stream* s = nullptr;
    ASSERT_EQ(tarn_entry_open(r, i, &s), TARN_OK);
    std::string got;
    char buffer[777];
    size_t n = 0;
    tarn_result result;
    while ((result = tarn_entry_read(s, buffer, sizeof buffer, &n)) == TARN_OK && n > 0) got.append(buffer, n);
    EXPECT_EQ(result, TARN_OK);
    EXPECT_TRUE(got == read_file(platform::native_path(names[i])));
    tarn_entry_close(s);
  }
  tarn_reader_close(r);

  // Damage in the first entry's piece: it fails, the second still passes.
  const size_t at = archive.size() / 4;
  archive[at] = static_cast<char>(archive[at] ^ 0x55);
  ASSERT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_OK);
  tarn_summary summary;
  EXPECT_EQ(tarn_test(r, nullptr, 0, &summary), TARN_ERROR_DAMAGED_ENTRY);
  EXPECT_EQ(summary.entries, 2u);
  EXPECT_EQ(summary.damaged, 1u);
  EXPECT_EQ(std::string(tarn_last_error()), names[0] + ": CRC error");
  entry_bytes(r, 0, TARN_ERROR_DAMAGED_ENTRY);
  EXPECT_TRUE(entry_bytes(r, 1) == read_file(platform::native_path(names[1])));
  tarn_reader_close(r);

  // Members of a solid group, read one by one, and a damaged table.
  archive = tarnc_archive({"in/s1.txt", "in/s2.txt"}, 3, true, false);
  ASSERT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_OK);
  tarn_entry e;
  ASSERT_EQ(tarn_reader_entry(r, 1, &e), TARN_OK);
  EXPECT_EQ(e.group_size, 2u);
  EXPECT_EQ(e.packed_size, 0u);
  EXPECT_TRUE(entry_bytes(r, 1) == read_file(e.path));
  EXPECT_TRUE(entry_bytes(r, 0) == read_file(names_of(r)[0] == "in\\s1.txt" ? "in/s1.txt" : "in/s2.txt"));
  tarn_reader_close(r);
  archive[archive.size() - 3] ^= 1;  // a name in the table
  EXPECT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_ERROR_DAMAGED_TABLE);
  EXPECT_EQ(r, nullptr);
  write_file("damaged.trn", archive);
  EXPECT_EQ(tarn_reader_open(&r, "damaged.trn"), TARN_ERROR_DAMAGED_TABLE);
  EXPECT_TRUE(std::string(tarn_last_error()).starts_with("damaged.trn: ")) << tarn_last_error();
  // An archive cut short is a short archive, not a failing device.
  write_file("short.trn", archive.substr(0, archive.size() / 2));
  EXPECT_EQ(tarn_reader_open(&r, "short.trn"), TARN_ERROR_END_OF_DATA) << tarn_last_error();
  EXPECT_TRUE(std::string(tarn_last_error()).starts_with("short.trn")) << tarn_last_error();
  EXPECT_EQ(tarn_reader_open_memory(&r, "not an archive at all, just words", 33), TARN_ERROR_NOT_ARCHIVE);
  EXPECT_EQ(tarn_reader_open(&r, "missing.trn"), TARN_ERROR_IO);
  EXPECT_NE(std::string(tarn_last_error()).find("missing.trn"), std::string::npos) << tarn_last_error();
}

TEST(CApi, BadArgumentsAreRefused) {
  tarn_reader* r = nullptr;
  EXPECT_EQ(tarn_reader_open(nullptr, "x"), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_reader_open(&r, nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_reader_open_callbacks(&r, nullptr, nullptr, nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_reader_entry_count(nullptr), 0u);
  EXPECT_EQ(tarn_reader_entry(nullptr, 0, nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_test(nullptr, nullptr, 0, nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_entry_open(nullptr, 0, nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_entry_read(nullptr, nullptr, 0, nullptr), TARN_ERROR_ARGUMENT);
  tarn_reader_close(nullptr);
  tarn_writer* w = nullptr;
  tarn_write_options o;
  tarn_write_options_init(&o);
  o.method = 7;
  EXPECT_EQ(tarn_writer_open(&w, "x.trn", &o), TARN_ERROR_ARGUMENT);
  o.method = 3;
  o.disabled_filters = 64;
  EXPECT_EQ(tarn_writer_open(&w, "x.trn", &o), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_writer_open(&w, "", nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_writer_add_file(nullptr, "x", nullptr), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_writer_close(nullptr), TARN_ERROR_ARGUMENT);
  tarn_writer_abort(nullptr);
  void* out = nullptr;
  size_t n = 0;
  EXPECT_EQ(tarn_compress("x", 1, 9, &out, &n), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_decompress(nullptr, 0, &out, &n), TARN_ERROR_ARGUMENT);

  TempDir dir;
  write_file("a.txt", "abc");
  ASSERT_EQ(tarn_writer_open(&w, "a.trn", nullptr), TARN_OK);
  EXPECT_EQ(tarn_writer_add_file(w, "nothing.txt", nullptr), TARN_ERROR_IO);
  EXPECT_EQ(tarn_writer_add_memory(w, "", "x", 1, 0, 0), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(tarn_writer_add_directory(w, "a.txt", nullptr), TARN_ERROR_ARGUMENT);
  ASSERT_EQ(tarn_writer_add_file(w, "a.txt", nullptr), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK);
  ASSERT_EQ(tarn_reader_open(&r, "a.trn"), TARN_OK);
  tarn_entry e;
  EXPECT_EQ(tarn_reader_entry(r, 1, &e), TARN_ERROR_ARGUMENT);
  const size_t bad = 5;
  EXPECT_EQ(tarn_test(r, &bad, 1, nullptr), TARN_ERROR_ARGUMENT);
  tarn_reader_close(r);
}

// Memory and callback entries, the one-shot calls, and an archive that is
// changed: the pieces of untouched groups are copied byte for byte, a
// group that loses a member is packed again, and the result tests clean.
TEST(CApi, MemoryEntriesOneShotAndChangingAnArchive) {
  TempDir dir;
  const std::string text = mixed_text(200000, 11);
  void* packed = nullptr;
  size_t packed_size = 0;
  ASSERT_EQ(tarn_compress(text.data(), text.size(), TARN_METHOD_GOOD, &packed, &packed_size), TARN_OK);
  EXPECT_LT(packed_size, text.size() / 2);
  void* again = nullptr;
  size_t again_size = 0;
  ASSERT_EQ(tarn_decompress(packed, packed_size, &again, &again_size), TARN_OK);
  EXPECT_TRUE(std::string(static_cast<char*>(again), again_size) == text);
  tarn_free(again);
  static_cast<char*>(packed)[packed_size / 2] ^= 0x10;
  EXPECT_EQ(tarn_decompress(packed, packed_size, &again, &again_size), TARN_ERROR_DAMAGED_ENTRY);
  tarn_free(again);
  tarn_free(packed);

  struct Feed {
    std::string data;
    size_t at = 0;
  } feed{mixed_text(90000, 12)};
  tarn_writer* w = nullptr;
  const tarn_write_options o = write_options(3, true);
  ASSERT_EQ(tarn_writer_open(&w, "m.trn", &o), TARN_OK);
  ASSERT_EQ(tarn_writer_add_memory(w, "docs/one.txt", text.data(), 5000, 1067688000, 0600), TARN_OK);
  ASSERT_EQ(tarn_writer_add_memory(w, "docs/two.txt", text.data() + 5000, 7000, 1067688000, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_add_callback(
                w, "fed.txt",
                [](void* opaque, void* buffer, size_t size) -> int64_t {
                  auto* f = static_cast<Feed*>(opaque);
                  const size_t n = std::min<size_t>({size, 1000, f->data.size() - f->at});
                  std::memcpy(buffer, f->data.data() + f->at, n);
                  f->at += n;
                  return static_cast<int64_t>(n);
                },
                &feed, 1067688000, 0),
            TARN_OK);
  const std::string big_text = mixed_text(SOLID_FILE_LIMIT + 1, 13);  // a piece of its own
  ASSERT_EQ(tarn_writer_add_memory(w, "big.txt", big_text.data(), big_text.size(), 1067688000, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
  for (const auto& e : std::filesystem::directory_iterator("."))
    EXPECT_FALSE(e.path().filename().string().starts_with(".tarnc-")) << "a spool file is left";

  tarn_reader* r = nullptr;
  ASSERT_EQ(tarn_reader_open(&r, "m.trn"), TARN_OK);
  size_t fed = 0;
  ASSERT_EQ(tarn_reader_find(r, "fed.txt", &fed), TARN_OK);
  EXPECT_TRUE(entry_bytes(r, fed) == feed.data);
  size_t one = 0;
  ASSERT_EQ(tarn_reader_find(r, "docs\\one.txt", &one), TARN_OK);
  tarn_entry e;
  ASSERT_EQ(tarn_reader_entry(r, one, &e), TARN_OK);
  EXPECT_EQ(e.mode, 0600u);
  EXPECT_EQ(e.mtime, 1067688000);
  EXPECT_GT(e.group_size, 1u);  // the small ones share a group
  size_t big = 0;
  ASSERT_EQ(tarn_reader_find(r, "big.txt", &big), TARN_OK);
  tarn_entry big_entry;
  ASSERT_EQ(tarn_reader_entry(r, big, &big_entry), TARN_OK);
  const std::string before = read_file("m.trn");
  tarn_reader_close(r);

  // Remove a member of the group and replace nothing else: big.txt's piece
  // is copied, the group is packed again.
  ASSERT_EQ(tarn_writer_open_update(&w, "m.trn", nullptr), TARN_OK);
  size_t removed = 0;
  ASSERT_EQ(tarn_writer_remove(w, "docs\\two.txt", &removed), TARN_OK);
  EXPECT_EQ(removed, 1u);
  ASSERT_EQ(tarn_writer_add_memory(w, "added.txt", "new bytes", 9, 1067688000, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
  ASSERT_EQ(tarn_reader_open(&r, "m.trn"), TARN_OK);
  EXPECT_EQ(tarn_test(r, nullptr, 0, nullptr), TARN_OK);
  const std::vector<std::string> names = names_of(r);
  EXPECT_EQ(std::count(names.begin(), names.end(), "docs\\two.txt"), 0);
  ASSERT_EQ(tarn_reader_find(r, "big.txt", &big), TARN_OK);
  tarn_entry moved;
  ASSERT_EQ(tarn_reader_entry(r, big, &moved), TARN_OK);
  EXPECT_EQ(moved.packed_size, big_entry.packed_size);
  EXPECT_TRUE(entry_bytes(r, big) == big_text);
  ASSERT_EQ(tarn_reader_find(r, "fed.txt", &fed), TARN_OK);
  EXPECT_TRUE(entry_bytes(r, fed) == feed.data);
  ASSERT_EQ(tarn_reader_find(r, "added.txt", &fed), TARN_OK);
  EXPECT_EQ(entry_bytes(r, fed), "new bytes");
  tarn_reader_close(r);
  // The piece of big.txt in an archive file's bytes.
  const auto big_piece = [](const std::string& path) {
    const FileList table = testing::read_table(path);
    for (const FileEntry& e : table.entries())
      if (e.name == "big.txt") return read_file(path).substr(e.offset, e.packed_size);
    return std::string("no big.txt");
  };
  write_file("before.trn", before);
  EXPECT_TRUE(big_piece("m.trn") == big_piece("before.trn"));
}

// The bytes of the selected entries reach a caller's function and a
// descriptor in table order; events tell each entry's start, progress and
// end, a damaged entry is reported by index and the next one still comes;
// a callback that asks to stop ends the call.
TEST(CApi, ExtractingToCallbacksAndDescriptorsWithEvents) {
  TempDir dir;
  const std::string one = mixed_text(120000, 21), two = mixed_text(90000, 22), three = mixed_text(150000, 23);
  tarn_writer* w = nullptr;
  ASSERT_EQ(tarn_writer_open(&w, "e.trn", nullptr), TARN_OK);
  for (const auto& [name, data] : {std::pair{"one.txt", &one}, {"sub/two.txt", &two}, {"three.txt", &three}})
    ASSERT_EQ(tarn_writer_add_memory(w, name, data->data(), data->size(), 1067688000, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
  std::string archive = read_file("e.trn");

  struct Seen {
    std::vector<tarn_event> events;
    std::vector<std::string> names;
    int stop_after = -1;
  };
  auto record = [](void* opaque, const tarn_event* event) -> int {
    auto* seen = static_cast<Seen*>(opaque);
    seen->events.push_back(*event);
    seen->names.emplace_back(event->name != nullptr ? event->name : "");
    return seen->stop_after >= 0 && static_cast<int>(seen->events.size()) > seen->stop_after ? 1 : 0;
  };
  auto append = [](void* opaque, const void* data, size_t size) -> int {
    static_cast<std::string*>(opaque)->append(static_cast<const char*>(data), size);
    return 0;
  };

  tarn_reader* r = nullptr;
  ASSERT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_OK);
  const std::vector<std::string> names = names_of(r);
  auto bytes_of = [&](const std::string& n) -> const std::string& {
    return n == "one.txt" ? one : n == "three.txt" ? three : two;
  };
  std::string expected;
  for (const std::string& n : names) expected += bytes_of(n);
  Seen seen;
  ASSERT_EQ(tarn_reader_set_events(r, record, &seen), TARN_OK);
  std::string got;
  tarn_summary summary;
  ASSERT_EQ(tarn_extract_to_callback(r, nullptr, 0, append, &got, &summary), TARN_OK);
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(summary.entries, 3u);
  EXPECT_EQ(summary.bytes, expected.size());
  uint64_t last_done = 0;
  int starts = 0, dones = 0;
  for (size_t k = 0; k < seen.events.size(); ++k) {
    const tarn_event& e = seen.events[k];
    if (e.kind == TARN_EVENT_ENTRY_START) {
      EXPECT_EQ(seen.names[k], names[static_cast<size_t>(e.index)]);
      ++starts;
    }
    if (e.kind == TARN_EVENT_ENTRY_DONE) {
      EXPECT_EQ(e.code, TARN_OK);
      ++dones;
    }
    if (e.kind == TARN_EVENT_PROGRESS) {
      EXPECT_GE(e.done, last_done);
      EXPECT_EQ(e.total, expected.size());
      last_done = e.done;
    }
  }
  EXPECT_EQ(starts, 3);
  EXPECT_EQ(dones, 3);
  EXPECT_EQ(last_done, expected.size());

  // Only the second entry, through a descriptor.
  const size_t second = 1;
  const int fd = ::open("out.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tarn_extract_to_fd(r, &second, 1, fd, nullptr), TARN_OK);
  ::close(fd);
  EXPECT_TRUE(read_file("out.bin") == bytes_of(names[1]));
  EXPECT_EQ(tarn_extract_to_fd(r, nullptr, 0, -1, nullptr), TARN_ERROR_ARGUMENT);

  // The caller's write function and event function can each stop the call.
  ASSERT_EQ(tarn_extract_to_callback(
                r, nullptr, 0, [](void*, const void*, size_t) -> int { return 1; }, nullptr, nullptr),
            TARN_ERROR_ABORTED);
  seen = Seen{};
  seen.stop_after = 1;
  EXPECT_EQ(tarn_test(r, nullptr, 0, nullptr), TARN_ERROR_ABORTED);
  tarn_reader_close(r);

  // Damage in the first piece: the CRC event names that entry, the others
  // are still written whole.
  const FileList table = testing::read_table("e.trn");
  const FileEntry& piece = table.entries()[0];
  archive[piece.offset + piece.packed_size / 2] ^= 0x21;
  ASSERT_EQ(tarn_reader_open_memory(&r, archive.data(), archive.size()), TARN_OK);
  seen = Seen{};
  ASSERT_EQ(tarn_reader_set_events(r, record, &seen), TARN_OK);
  got.clear();
  EXPECT_EQ(tarn_extract_to_callback(r, nullptr, 0, append, &got, &summary), TARN_ERROR_DAMAGED_ENTRY);
  EXPECT_EQ(summary.damaged, 1u);
  EXPECT_EQ(summary.entries, 3u);
  int crc_events = 0;
  for (const tarn_event& e : seen.events) {
    if (e.kind != TARN_EVENT_CRC_ERROR) continue;
    ++crc_events;
    EXPECT_EQ(e.index, 0);
  }
  EXPECT_EQ(crc_events, 1);
  const size_t first_size = piece.size;
  EXPECT_TRUE(got.substr(got.size() - (expected.size() - first_size)) == expected.substr(first_size));
  tarn_reader_close(r);
}

TEST(CApi, NameMatching) {
  // '*' crosses separators, '/' is '\\', cases differ byte for byte.
  const struct {
    const char *pattern, *name;
    bool matches;
  } cases[] = {{"*", "a\\b\\c.txt", true}, {"a/*.txt", "a\\b\\c.txt", true}, {"?.txt", "x.txt", true},
               {"?.txt", "xy.txt", false},   {"*.TXT", "a.txt", false},             {nullptr, "a", false},
               {"a", nullptr, false}};
  for (const auto& c : cases)
    EXPECT_EQ(tarn_name_matches(c.pattern, c.name) != 0, c.matches) << (c.pattern ? c.pattern : "null");
}

}  // namespace
}  // namespace tarn
