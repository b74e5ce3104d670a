// Directory search, file status, directories, metadata, clock and console.
//
// Paths passed here are in the OS's form (see native_path). The directory
// search gives what the format's file selection expects from the platform:
// the entries of one directory whose names match a mask with "*" and "?",
// each with its attribute bits, 64-bit size and last-write time, returned in
// ascending byte order of their names so that archives are reproducible
// whatever order the file system keeps. "." and ".." are never returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace tarn::platform {

struct FoundEntry {
  std::string name;      // the name inside its directory
  uint32_t attributes;   // ATTR_* bits (common/format_constants.h), POSIX mode in the high 16 bits when not plain
  uint64_t size;         // 0 for a directory
  int64_t mtime;         // last-write time, seconds since 1970 (UTC)
};

// Turns a stored or typed path (backslash-separated) into the OS's form.
std::string native_path(const std::string& path);

// What kept a search from seeing something: the directory itself (an
// empty name) or a name in it whose status could not be read.
struct SearchProblem {
  std::string name;     // empty: the directory
  std::string reason;   // the system's
  bool directory;       // the name is known to be a directory
};

// Entries of `directory` (empty: the current directory; otherwise it ends
// with a separator) whose names match `mask`. Symbolic links to files are
// reported as the files; links to directories, sockets, fifos and devices
// are left out. With `problems`, a directory that cannot be read and each
// matching name whose status cannot be read (a path too long, say) are added
// there; otherwise they are left out without a word.
std::vector<FoundEntry> search_directory(const std::string& directory, const std::string& mask,
                                         std::vector<SearchProblem>* problems = nullptr);

// The attribute bits for a file system mode and name.
uint32_t attributes_from_mode(uint32_t mode, const std::string& name);

bool is_directory(const std::string& path);
// Whether `path` names something that is neither a regular file nor a
// directory (a fifo, a device, a socket), links followed.
bool is_special_file(const std::string& path);
bool is_symlink(const std::string& path);
// Resolves links, "." and ".."; empty when the path does not exist.
std::string real_path(const std::string& path);
// Creates one directory whose parent exists.
bool create_directory(const std::string& path);
bool remove_file(const std::string& path);
// Renames `from` over `to`: a file or link of that name is replaced (a link
// itself, never what it points to), atomically where the system can.
bool rename_replacing(const std::string& from, const std::string& to);
// A name for a new temporary file in the directory of `target`, unlikely to
// exist (the caller creates it with File::create_new and tries another name
// should it exist after all).
std::string temporary_name_beside(const std::string& target);
// The same name alone, for a temporary made in a Directory; every one is
// as long as any other.
std::string temporary_name();
// Whether `name` (without a directory) is one temporary_name could give:
// ".tarnc-", twelve lowercase hexadecimal digits, ".tmp". The file
// selection passes over such files, so that a run never packs the
// half-written archive or file of another run in the same directory.
bool is_temporary_name(const std::string& name);
// Whether `path` names an existing file that may not be written (read-only,
// or not ours to write).
bool is_write_protected(const std::string& path);
// The identity of the file `path` names, links followed; false when there is none.
bool path_identity(const std::string& path, FileId& id);
// Whether the system takes `path` as a name: not longer than its path limit,
// and no component longer than its name limit.
bool path_fits(const std::string& path);
// The system's text for the error of the last failed call on this thread.
std::string last_error_text();
// Makes an open file executable by whoever may read it (self-extracting
// archives).
void make_executable(File& file);

// Gives an open extracted file its stored time (read as UTC) and
// attributes, on the file itself and never through a name; what was
// written must have been flushed.
void restore_file_metadata(File& file, uint32_t attributes, int64_t mtime);

// A name under which the running program's own executable file can be
// opened for reading (the self-extractor reads the archive behind itself).
std::string own_executable_path();

// Whether the console shows names as bytes of a code page (every byte one
// character, Cyrillic remapped for the console) rather than as UTF-8.
bool console_uses_code_page();

// Milliseconds of a monotonic clock.
int64_t clock_milliseconds();
bool stdout_is_terminal();

// What the directory search would give for `path` itself: a regular file
// (through a symbolic link too) or a directory; false for anything else or
// nothing, with the system's reason in `error`.
bool describe_path(const std::string& path, FoundEntry& entry, std::string& error);

// Writes all of `data` to an open descriptor (a pipe too); false with the
// system's reason in `error`.
bool write_descriptor(int fd, const void* data, size_t size, std::string& error);

}  // namespace tarn::platform
