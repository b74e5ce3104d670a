// Extracting over files already there: what each tarn_extract_options
// overwrite rule keeps, replaces and reports, and that the run goes on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tarn/tarn.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::mixed_text;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr int64_t STORED_TIME = 1067688000;  // 2003-11-01 12:00:00 UTC, an even second

const std::string& bytes_of(const std::string& name) {
  static const std::string one = mixed_text(40000, 31), two = mixed_text(3000, 32), three = "three\n";
  return name == "one.txt" ? one : name == "sub/two.txt" ? two : three;
}

// e.trn: three files (one in a directory entry "sub"), all of STORED_TIME.
void make_archive() {
  tarn_writer* w = nullptr;
  ASSERT_EQ(tarn_writer_open(&w, "e.trn", nullptr), TARN_OK);
  for (const char* name : {"one.txt", "sub/two.txt", "three.txt"})
    ASSERT_EQ(tarn_writer_add_memory(w, name, bytes_of(name).data(), bytes_of(name).size(), STORED_TIME, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
}

void set_time(const std::string& path, int64_t seconds) {
  const std::string touch = "touch -h -d @" + std::to_string(seconds) + " '" + path + "'";
  ASSERT_EQ(std::system(touch.c_str()), 0) << touch;
}

struct Notes {
  std::vector<std::string> names;
  std::vector<int> codes;
};

int record_note(void* opaque, const tarn_event* e) {
  if (e->kind != TARN_EVENT_NOTE) return 0;
  auto* notes = static_cast<Notes*>(opaque);
  notes->names.emplace_back(e->name != nullptr ? e->name : "");
  notes->codes.push_back(e->code);
  return 0;
}

// Extracts all of e.trn into out/ with `rule`; the result, the summary and the notes.
tarn_result extract(int rule, tarn_summary& summary, Notes& notes, const tarn_extract_options* given = nullptr) {
  tarn_reader* r = nullptr;
  EXPECT_EQ(tarn_reader_open(&r, "e.trn"), TARN_OK);
  tarn_reader_set_events(r, record_note, &notes);
  tarn_extract_options options;
  tarn_extract_options_init(&options);
  options.overwrite = rule;
  summary = tarn_summary{};
  const tarn_result result = tarn_extract_to_directory(r, nullptr, 0, "out", given != nullptr ? given : &options, &summary);
  tarn_reader_close(r);
  return result;
}

TEST(CApiOverwrite, NeverIsTheDefaultAndRefusesEachExistingFileWithANote) {
  TempDir dir;
  make_archive();
  tarn_extract_options defaults;
  tarn_extract_options_init(&defaults);
  EXPECT_EQ(defaults.overwrite, TARN_OVERWRITE_NEVER);

  // Into an empty directory everything is written; again, the directory
  // entry is no refusal, but each file is.
  tarn_summary s;
  Notes notes;
  ASSERT_EQ(extract(TARN_OVERWRITE_NEVER, s, notes), TARN_OK) << tarn_last_error();
  for (const char* f : {"one.txt", "sub/two.txt", "three.txt"}) EXPECT_TRUE(read_file(std::string("out/") + f) == bytes_of(f));
  EXPECT_TRUE(notes.names.empty());

  write_file("out/one.txt", "mine\n");
  write_file("out/three.txt", "mine too\n");
  std::filesystem::remove("out/sub/two.txt");
  notes = Notes{};
  const tarn_result r = extract(TARN_OVERWRITE_NEVER, s, notes);
  EXPECT_EQ(r, TARN_ERROR_EXISTS);
  EXPECT_TRUE(std::string(tarn_last_error()).find("1 more entries") != std::string::npos) << tarn_last_error();
  EXPECT_EQ(s.refused, 2u);
  EXPECT_EQ(s.entries, 3u);
  EXPECT_EQ(s.damaged, 0u);
  std::sort(notes.names.begin(), notes.names.end());
  EXPECT_EQ(notes.names, (std::vector<std::string>{"one.txt", "three.txt"}));
  EXPECT_EQ(notes.codes, (std::vector<int>{TARN_ERROR_EXISTS, TARN_ERROR_EXISTS}));
  EXPECT_EQ(read_file("out/one.txt"), "mine\n");
  EXPECT_EQ(read_file("out/three.txt"), "mine too\n");
  EXPECT_TRUE(read_file("out/sub/two.txt") == bytes_of("sub/two.txt"));  // the run went on

  // Null options are the defaults.
  tarn_reader* reader = nullptr;
  ASSERT_EQ(tarn_reader_open(&reader, "e.trn"), TARN_OK);
  EXPECT_EQ(tarn_extract_to_directory(reader, nullptr, 0, "out", nullptr, nullptr), TARN_ERROR_EXISTS);
  tarn_reader_close(reader);
  EXPECT_EQ(read_file("out/one.txt"), "mine\n");

  // A link in a file's place is a file there: kept, and what it points to untouched.
  write_file("target.txt", "not to be touched\n");
  std::filesystem::remove("out/one.txt");
  std::filesystem::create_symlink("../target.txt", "out/one.txt");
  notes = Notes{};
  EXPECT_EQ(extract(TARN_OVERWRITE_NEVER, s, notes), TARN_ERROR_EXISTS);
  EXPECT_TRUE(std::filesystem::is_symlink("out/one.txt"));
  EXPECT_EQ(read_file("target.txt"), "not to be touched\n");
}

TEST(CApiOverwrite, AlwaysReplacesAndSkipKeepsQuietly) {
  TempDir dir;
  make_archive();
  write_file("out/one.txt", "mine\n");
  write_file("out/sub/two.txt", "mine too\n");
  tarn_summary s;
  Notes notes;
  // SKIP: kept without a note; the others written; success.
  EXPECT_EQ(extract(TARN_OVERWRITE_SKIP, s, notes), TARN_OK) << tarn_last_error();
  EXPECT_TRUE(notes.names.empty());
  EXPECT_EQ(s.refused, 0u);
  EXPECT_EQ(read_file("out/one.txt"), "mine\n");
  EXPECT_EQ(read_file("out/sub/two.txt"), "mine too\n");
  EXPECT_TRUE(read_file("out/three.txt") == bytes_of("three.txt"));

  // ALWAYS: replaced, with the entry's time; a link in the way is replaced
  // itself, never written through.
  write_file("target.txt", "not to be touched\n");
  std::filesystem::remove("out/three.txt");
  std::filesystem::create_symlink("../target.txt", "out/three.txt");
  EXPECT_EQ(extract(TARN_OVERWRITE_ALWAYS, s, notes), TARN_OK) << tarn_last_error();
  EXPECT_TRUE(notes.names.empty());
  for (const char* f : {"one.txt", "sub/two.txt", "three.txt"}) EXPECT_TRUE(read_file(std::string("out/") + f) == bytes_of(f));
  EXPECT_FALSE(std::filesystem::is_symlink("out/three.txt"));
  EXPECT_EQ(read_file("target.txt"), "not to be touched\n");
  struct stat st {};
  ASSERT_EQ(::stat("out/one.txt", &st), 0);
  EXPECT_EQ(st.st_mtime, STORED_TIME);

  // An unknown rule is refused before anything is written.
  write_file("out/one.txt", "mine\n");
  EXPECT_EQ(extract(7, s, notes), TARN_ERROR_ARGUMENT);
  EXPECT_EQ(read_file("out/one.txt"), "mine\n");
}

TEST(CApiOverwrite, KeepNewerKeepsOnlyFilesNewerThanTheEntry) {
  TempDir dir;
  make_archive();
  write_file("out/one.txt", "newer\n");
  write_file("out/sub/two.txt", "older\n");
  write_file("out/three.txt", "same time\n");
  set_time("out/one.txt", STORED_TIME + 3600);
  set_time("out/sub/two.txt", STORED_TIME - 3600);
  set_time("out/three.txt", STORED_TIME + 1);  // within the stored time's two-second step
  tarn_summary s;
  Notes notes;
  EXPECT_EQ(extract(TARN_OVERWRITE_KEEP_NEWER, s, notes), TARN_OK) << tarn_last_error();
  EXPECT_EQ(read_file("out/one.txt"), "newer\n");
  EXPECT_TRUE(read_file("out/sub/two.txt") == bytes_of("sub/two.txt"));
  EXPECT_TRUE(read_file("out/three.txt") == bytes_of("three.txt"));
  // The kept one is told of, but is no refusal.
  EXPECT_EQ(notes.names, std::vector<std::string>{"one.txt"});
  EXPECT_EQ(notes.codes, std::vector<int>{TARN_OK});
  EXPECT_EQ(s.refused, 0u);
}

TEST(CApiOverwrite, AnotherRefusalBesideExistingFilesIsARefusal) {
  TempDir dir;
  // An archive that holds an entry of its own name, extracted where it
  // lies: that entry is never written over the archive, whatever the rule.
  tarn_writer* w = nullptr;
  ASSERT_EQ(tarn_writer_open(&w, "e.trn", nullptr), TARN_OK);
  ASSERT_EQ(tarn_writer_add_memory(w, "e.trn", "x", 1, STORED_TIME, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_add_memory(w, "kept.txt", "y", 1, STORED_TIME, 0), TARN_OK);
  ASSERT_EQ(tarn_writer_close(w), TARN_OK) << tarn_last_error();
  std::filesystem::create_directory("out");
  std::filesystem::copy_file("e.trn", "out/e.trn");
  const std::string archive = read_file("e.trn");
  // Only the reader's own file is "the archive": out/e.trn is another file.
  tarn_summary s;
  Notes notes;
  write_file("out/kept.txt", "mine\n");
  EXPECT_EQ(extract(TARN_OVERWRITE_NEVER, s, notes), TARN_ERROR_EXISTS);
  EXPECT_EQ(s.refused, 2u);

  ASSERT_EQ(::chdir("out"), 0);
  tarn_reader* r = nullptr;
  ASSERT_EQ(tarn_reader_open(&r, "e.trn"), TARN_OK);
  notes = Notes{};
  tarn_reader_set_events(r, record_note, &notes);
  tarn_extract_options options;
  tarn_extract_options_init(&options);
  EXPECT_EQ(tarn_extract_to_directory(r, nullptr, 0, ".", &options, &s), TARN_ERROR_REFUSED);
  EXPECT_EQ(s.refused, 2u);
  std::sort(notes.codes.begin(), notes.codes.end());
  EXPECT_EQ(notes.codes, (std::vector<int>{std::min<int>(TARN_ERROR_REFUSED, TARN_ERROR_EXISTS),
                                           std::max<int>(TARN_ERROR_REFUSED, TARN_ERROR_EXISTS)}));
  options.overwrite = TARN_OVERWRITE_ALWAYS;
  EXPECT_EQ(tarn_extract_to_directory(r, nullptr, 0, ".", &options, &s), TARN_ERROR_REFUSED);
  EXPECT_EQ(s.refused, 1u);
  EXPECT_EQ(read_file("kept.txt"), "y");
  tarn_reader_close(r);
  EXPECT_TRUE(read_file("e.trn") == archive);
  ASSERT_EQ(::chdir(".."), 0);
}

}  // namespace
}  // namespace tarn
