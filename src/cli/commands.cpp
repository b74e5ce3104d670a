// Command handlers: each takes the archive name and the wildcards from the
// argument vector, runs the library driver or screen of its command and
// times it. See commands.h for the fatal path.
#include "cli/commands.h"

#include <cstdio>

#include "archive/archive_reader.h"
#include "archive/create.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "cli/console_report.h"
#include "cli/display_name.h"
#include "cli/guarded_run.h"
#include "cli/screens.h"
#include "common/error.h"
#include "files/pending_file.h"
#include "files/wildcard_list.h"
#include "files/file_list.h"
#include "files/pivot_generator.h"
#include "files/selection.h"
#include "platform/cleanup.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/memory.h"
#include "platform/processors.h"

namespace tarn {

namespace {

class Handlers {
 public:
  Handlers(Settings& settings, ConsoleReport& report) : s_(settings), report_(report) {}

  void run() {
    switch (s_.command) {
      case CMD_CREATE: run_create(); break;
      case CMD_EXTRACT: run_extract(true); break;
      case CMD_EXTRACT_FLAT: run_extract(false); break;
      case CMD_TEST: run_test(); break;
      case CMD_LIST: run_list(); break;
      case CMD_INFO: run_info(); break;
      default: break;
    }
  }

 private:
  size_t argc() const { return s_.args.size(); }

  void need_archive_name() const {
    if (s_.operand_index >= argc()) raise_error(ErrorCode::NOTHING_TO_DO);
  }
  void need_wildcard() const {
    if (s_.operand_index + 1 >= argc()) raise_error(ErrorCode::NOTHING_TO_DO);
  }
  const std::string& take_operand() { return s_.args[s_.operand_index++]; }

  void start_clock() { s_.start_clock = platform::clock_milliseconds(); }
  void print_elapsed() const { print_elapsed_seconds(platform::clock_milliseconds() - s_.start_clock); }

  void run_info() {
    need_archive_name();
    std::fputs("Initializing...\n", stdout);
    ArchiveReader archive;
    archive.open_archive_for_reading(take_operand());
    print_archive_info(archive);
    archive.close();
  }

  void run_list() {
    need_archive_name();
    std::fputs("Initializing...\n\n", stdout);
    ArchiveReader archive;
    archive.open_archive_for_reading(take_operand());
    FileList entries;
    archive.read_file_table(entries);
    print_listing_header();
    print_listing(entries);
    archive.close();
  }

  void run_test() { run_extraction(false, true); }
  void run_extract(bool keep_paths) { run_extraction(true, keep_paths); }

  void run_extraction(bool write_files, bool keep_paths) {
    need_wildcard();
    start_clock();
    std::fputs("Initializing...\n", stdout);
    ArchiveReader archive;
    archive.open_archive_for_reading(take_operand());
    WildcardList wildcards;
    while (s_.operand_index < argc()) wildcards.add_extract_wildcard(take_operand());
    std::fputs("Reading file list...\n", stdout);
    FileList entries;
    archive.read_file_table(entries);
    ExtractOptions options;
    options.output_dir = s_.output_dir;
    options.write_files = write_files;
    options.keep_paths = keep_paths;
    options.workers = platform::usable_processors();
    extract_archive(archive, entries, wildcards, options, report_);
    archive.close();
    print_elapsed();
  }

  void run_create() {
    need_wildcard();
    CreateOptions options;
    options.coding = coding_options(s_);
    options.self_extracting = s_.self_extracting;
    options.solid_blocks = s_.solid_blocks;
    options.workers = platform::usable_processors();
    start_clock();
    std::fputs("Initializing...\n", stdout);

    // The archive is written to a temporary in its directory
    // and takes its name only when complete: an archive of that name stays
    // as it was until then, and is never selected itself.
    const std::string name = add_create_extension(take_operand(), s_.self_extracting);
    options.archive_name = name;
    std::printf("Archive name: %s\n", format_display_name(name, 50).c_str());
    // An archive that could not be written over is not replaced either.
    if (platform::is_directory(name)) raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": a directory of that name exists");
    if (platform::is_write_protected(name)) raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": write-protected");
    // Nor is a fifo, a device or a socket: the new archive would take its
    // name and it would be gone.
    if (platform::is_special_file(name))
      raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": not a regular file (a fifo, a device or a socket)");
    PendingFile archive;
    std::string error;
    if (!archive.create(name, ARCHIVE_BUFFER_SIZE, true, error))
      raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": " + error);
    FileList list;

    std::printf("Compression method: %s%s\n", METHOD_PARAMETERS[s_.method].name,
                s_.solid_blocks ? " (Solid blocks mode)" : "");
    std::fputs("\nScanning...", stdout);
    std::fflush(stdout);
    FileSelector selector(list, SelectionOptions{s_.recurse, s_.store_directories}, &report_);
    platform::FileId id;
    if (archive.file().identity(id)) selector.exclude(id);
    if (platform::path_identity(name, id)) selector.exclude(id);
    while (s_.operand_index < argc()) selector.expand_wildcard(take_operand());

    PivotGenerator random;
    FileArchiveOutput output(archive.file());
    create_archive(output, list, options, random, report_);
    const bool committed = archive.commit(
        true, [&](platform::File& file) { if (s_.self_extracting) platform::make_executable(file); },
        error);
    if (!committed) raise_error(ErrorCode::IO_ERROR, name + ": " + error);
    print_elapsed();
  }

  Settings& s_;
  ConsoleReport& report_;
};

}  // namespace

int run_tarnc(const std::vector<std::string>& args) {
  Settings settings;
  const ParseResult parsed = parse_command_line(args, settings);
  switch (parsed.status) {
    case ParseStatus::USAGE:
      print_usage_text();
      return 1;
    case ParseStatus::UNKNOWN_COMMAND:
      print_banner();
      std::printf(" Unknown command: \"%s\"\n", parsed.text.c_str());
      return 1;
    case ParseStatus::UNKNOWN_SWITCH:
      print_banner();
      std::printf(" Unknown switch: \"%s\"\n", parsed.text.c_str());
      return 1;
    case ParseStatus::RUN:
      break;
  }
  print_banner();
  platform::remove_temporaries_on_signals();
  platform::return_large_blocks_when_freed();
  ConsoleReport report("tarnc");
  return run_guarded(
      [&] {
        // The handler's objects are gone by the time an error reaches
        // run_guarded: the files being written are closed and removed.
        Handlers handlers(settings, report);
        handlers.run();
        return 0;
      },
      [&](const TarnError& error) { print_fatal("tarnc", error); });
}

}  // namespace tarn
