#include "cli/tarn/commands.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "cli/tarn/report.h"

namespace tarn_cli {

namespace {

bool excluded(const Options& o, const std::string& path) {
  std::string base = path;
  const size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  for (const std::string& p : o.excludes)
    if (tarn_name_matches(p.c_str(), path.c_str()) || tarn_name_matches(p.c_str(), base.c_str())) return true;
  return false;
}

int tree_filter(void* opaque, const char* path, int) { return excluded(*static_cast<const Options*>(opaque), path); }

int64_t read_stdin(void*, void* buffer, size_t size) {
  const size_t got = std::fread(buffer, 1, size, stdin);
  if (got == 0 && std::ferror(stdin)) return -1;
  return static_cast<int64_t>(got);
}

// The archive operand, refused when missing or "-".
bool archive_operand(const Options& o, std::string& archive) {
  if (o.operands.empty()) {
    message(std::string("no archive named (try 'tarn ") + command_name(o.command) + " --help')");
    return false;
  }
  archive = o.operands[0];
  if (archive == "-") {
    message("an archive must be a file: '-' (standard input or output) cannot be used as the archive");
    return false;
  }
  return true;
}

// Adds one operand: standard input, a directory with all below it, or a file.
bool add_operand(tarn_writer* w, const Options& o, const std::string& operand) {
  if (operand == "-") {
    const tarn_result r =
        tarn_writer_add_callback(w, o.stdin_name.c_str(), read_stdin, nullptr, static_cast<int64_t>(std::time(nullptr)), 0);
    if (r != TARN_OK) message("cannot read standard input: " + last_reason());
    return r == TARN_OK;
  }
  if (excluded(o, operand)) return true;
  std::error_code ec;
  const auto status = std::filesystem::status(operand, ec);
  if (ec || !std::filesystem::exists(status)) {
    message("cannot add '" + operand + "': " + (ec ? ec.message() : std::string("No such file or directory")));
    return false;
  }
  std::string path = operand;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const tarn_result r = std::filesystem::is_directory(status)
                            ? tarn_writer_add_tree(w, path.c_str(), nullptr, tree_filter, const_cast<Options*>(&o))
                            : tarn_writer_add_file(w, path.c_str(), nullptr);
  if (r != TARN_OK) message("cannot add '" + operand + "': " + last_reason());
  return r == TARN_OK;
}

}  // namespace

bool selects(const std::string& pattern, const char* stored) {
  return tarn_name_matches(pattern.c_str(), stored) || tarn_name_matches((pattern + "/*").c_str(), stored);
}

int open_selected(const Options& o, Opened& opened) {
  std::string archive;
  if (!archive_operand(o, archive)) return EXIT_ERROR;
  const tarn_result r = tarn_reader_open(&opened.reader, archive.c_str());
  if (r != TARN_OK) {
    message("cannot open '" + archive + "': " + last_reason());
    return status_of(r);
  }
  if (o.threads > 0) tarn_reader_set_threads(opened.reader, o.threads);
  const size_t count = tarn_reader_entry_count(opened.reader);
  std::vector<bool> used(o.operands.size(), false);
  for (size_t i = 0; i < count; ++i) {
    tarn_entry e;
    if (tarn_reader_entry(opened.reader, i, &e) != TARN_OK) continue;
    bool wanted = o.operands.size() == 1;
    for (size_t k = 1; k < o.operands.size(); ++k) {
      if (selects(o.operands[k], e.name)) {
        wanted = true;
        used[k] = true;
      }
    }
    if (wanted && !excluded(o, display_name(e.name))) opened.selected.push_back(i);
  }
  int status = EXIT_DONE;
  for (size_t k = 1; k < o.operands.size(); ++k) {
    if (!used[k]) {
      message("'" + o.operands[k] + "': no such entry in '" + archive + "'");
      status = EXIT_ERROR;
    }
  }
  return status;
}

tarn_write_options writer_options(const Options& o, Reporter& reporter) {
  tarn_write_options options;
  tarn_write_options_init(&options);
  options.threads = o.threads;
  options.events = Reporter::callback;
  options.events_opaque = &reporter;
  return options;
}

// Opens a writer for a new archive or for an update of `archive`; on
// failure says why and returns the exit status, with `w` left null.
int open_writer(tarn_writer*& w, const std::string& archive, const tarn_write_options& options, bool update) {
  const tarn_result opened =
      update ? tarn_writer_open_update(&w, archive.c_str(), &options) : tarn_writer_open(&w, archive.c_str(), &options);
  if (opened == TARN_OK) return EXIT_DONE;
  w = nullptr;
  message("cannot open '" + archive + "': " + last_reason());
  return status_of(opened);
}

// Closes the writer, which renames the new archive into place; `status` is
// what the run had come to before, unless the archive cannot be written.
int close_writer(tarn_writer* w, Reporter& reporter, const std::string& archive, int status) {
  const tarn_result r = tarn_writer_close(w);
  reporter.finish();
  if (r != TARN_OK) {
    message("cannot write '" + archive + "': " + last_reason());
    return status_of(r);
  }
  return status;
}

int run_create(const Options& o) {
  std::string archive;
  if (!archive_operand(o, archive)) return EXIT_ERROR;
  const bool update = o.command == Command::ADD;
  if (o.operands.size() < 2) {
    message(std::string("nothing to ") + (update ? "add" : "pack") + ": name files or directories after the archive");
    return EXIT_ERROR;
  }
  Reporter reporter(o.quiet, o.verbose, update ? "adding" : "packing");
  tarn_write_options options = writer_options(o, reporter);
  options.method = o.method;
  options.solid = o.solid ? 1 : 0;
  tarn_writer* w = nullptr;
  int status = open_writer(w, archive, options, update);
  if (w == nullptr) return status;
  int from_stdin = 0;
  for (size_t k = 1; k < o.operands.size(); ++k) {
    if (o.operands[k] == "-" && ++from_stdin > 1) {
      message("standard input ('-') can be packed only once");
      tarn_writer_abort(w);
      return EXIT_ERROR;
    }
    if (!add_operand(w, o, o.operands[k])) status = EXIT_ERROR;
  }
  return close_writer(w, reporter, archive, status);
}

int run_delete(const Options& o) {
  std::string archive;
  if (!archive_operand(o, archive)) return EXIT_ERROR;
  if (o.operands.size() < 2) {
    message("nothing to delete: name entries or patterns after the archive");
    return EXIT_ERROR;
  }
  Reporter reporter(o.quiet, o.verbose, "packing again");
  const tarn_write_options options = writer_options(o, reporter);
  tarn_writer* w = nullptr;
  int status = open_writer(w, archive, options, true);
  if (w == nullptr) return status;
  for (size_t k = 1; k < o.operands.size(); ++k) {
    size_t gone = 0, below = 0;
    std::string pattern = o.operands[k];
    while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
    const tarn_result r1 = tarn_writer_remove(w, pattern.c_str(), &gone);
    const tarn_result r2 = tarn_writer_remove(w, (pattern + "/*").c_str(), &below);
    if (r1 != TARN_OK || r2 != TARN_OK) {
      message("cannot delete '" + o.operands[k] + "': " + last_reason());
      status = EXIT_ERROR;
    } else if (gone + below == 0) {
      message("'" + o.operands[k] + "': no such entry in '" + archive + "'");
      status = EXIT_ERROR;
    } else if (o.verbose && !o.quiet) {
      std::fprintf(stderr, "deleted %zu entries for %s\n", gone + below, o.operands[k].c_str());
    }
  }
  if (status != EXIT_DONE) {
    // Nothing is changed when a name is wrong: the archive stays as it was.
    tarn_writer_abort(w);
    return status;
  }
  return close_writer(w, reporter, archive, EXIT_DONE);
}

int run_extract(const Options& o) {
  Opened opened;
  int status = open_selected(o, opened);
  if (opened.reader == nullptr) return status;
  if (opened.selected.empty()) return status;
  const bool to_stdout = o.command == Command::CAT || o.to_stdout;
  Reporter reporter(o.quiet, o.verbose && !to_stdout, "extracting");
  tarn_reader_set_events(opened.reader, Reporter::callback, &reporter);
  tarn_summary summary{};
  tarn_result r;
  if (to_stdout) {
    std::fflush(stdout);
    r = tarn_extract_to_fd(opened.reader, opened.selected.data(), opened.selected.size(), 1, &summary);
  } else {
    tarn_extract_options options;
    tarn_extract_options_init(&options);
    switch (o.overwrite) {
      case Overwrite::NEVER: options.overwrite = TARN_OVERWRITE_NEVER; break;
      case Overwrite::ALWAYS: options.overwrite = TARN_OVERWRITE_ALWAYS; break;
      case Overwrite::SKIP: options.overwrite = TARN_OVERWRITE_SKIP; break;
      case Overwrite::KEEP_NEWER: options.overwrite = TARN_OVERWRITE_KEEP_NEWER; break;
    }
    r = tarn_extract_to_directory(opened.reader, opened.selected.data(), opened.selected.size(), o.directory.c_str(),
                                  &options, &summary);
  }
  reporter.finish();
  if (r == TARN_ERROR_EXISTS) {
    message(std::to_string(summary.refused) + " existing files not replaced (-f replaces them, --skip-existing keeps them quietly)");
  } else if (r == TARN_ERROR_REFUSED) {
    message(std::to_string(summary.refused) + " entries not written");
  } else if (r == TARN_ERROR_DAMAGED_ENTRY) {
    message(std::to_string(summary.damaged) + " damaged entries");
  } else if (r != TARN_OK) {
    message("cannot extract from '" + o.operands[0] + "': " + last_reason());
  }
  const int s = status_of(r);
  return s > status ? s : status;
}

int run_test(const Options& o) {
  Opened opened;
  int status = open_selected(o, opened);
  if (opened.reader == nullptr) return status;
  if (opened.selected.empty()) return status;
  Reporter reporter(o.quiet, o.verbose, "testing");
  tarn_reader_set_events(opened.reader, Reporter::callback, &reporter);
  tarn_summary summary{};
  const tarn_result r = tarn_test(opened.reader, opened.selected.data(), opened.selected.size(), &summary);
  reporter.finish();
  if (r == TARN_ERROR_DAMAGED_ENTRY) {
    message("'" + o.operands[0] + "': " + std::to_string(summary.damaged) + " of " + std::to_string(summary.entries) +
            " entries damaged");
  } else if (r != TARN_OK) {
    message("cannot test '" + o.operands[0] + "': " + last_reason());
  } else if (!o.quiet) {
    std::fprintf(stderr, "tarn: '%s': %llu entries OK\n", o.operands[0].c_str(),
                 static_cast<unsigned long long>(summary.entries));
  }
  const int s = status_of(r);
  return s > status ? s : status;
}

}  // namespace tarn_cli
