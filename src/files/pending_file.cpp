#include "files/pending_file.h"

#include <utility>

#include "platform/cleanup.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {
constexpr int NAME_ATTEMPTS = 32;  // temporary names tried before giving up

// Where messages put a name in the directory of `shown`.
std::string beside(const std::string& shown, const std::string& name) {
  const size_t slash = shown.find_last_of("/\\");
  return (slash == std::string::npos ? std::string() : shown.substr(0, slash + 1)) + name;
}
}  // namespace

bool PendingFile::create(const std::string& target, size_t buffer_size, bool exclusive, std::string& error) {
  discard();
  platform::Directory directory;
  std::string name;
  if (!directory.open_parent_of(target, name)) {
    error = platform::last_error_text();
    return false;
  }
  return create_in(std::move(directory), name, target, buffer_size, exclusive, error);
}

bool PendingFile::create_in(platform::Directory directory, const std::string& name, const std::string& shown,
                            size_t buffer_size, bool exclusive, std::string& error) {
  discard();
  directory_ = std::move(directory);
  name_ = name;
  shown_ = shown;
  if (file_.create_unnamed_in(directory_, buffer_size, exclusive)) {
    active_ = true;
    return true;
  }
  if (create_named(buffer_size, exclusive, error)) return true;
  directory_.close();
  return false;
}

bool PendingFile::create_named(size_t buffer_size, bool exclusive, std::string& error) {
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    const std::string name = platform::temporary_name();
    // Listed before it exists, so that no moment is left in which a signal
    // would leave it behind.
    ticket_ = platform::remember_temporary(directory_, name);
    if (file_.create_new_in(directory_, name, buffer_size, exclusive)) {
      temporary_ = name;
      active_ = true;
      return true;
    }
    platform::forget_temporary(ticket_);
    ticket_ = -1;
    error = file_.error();
    if (directory_.kind_of(name) == platform::Directory::Kind::MISSING) break;  // not a clash of names
  }
  return false;
}

PendingFile::~PendingFile() { discard(); }

std::string PendingFile::temporary() const { return temporary_.empty() ? shown_ : beside(shown_, temporary_); }

void PendingFile::discard() {
  file_.close();  // an unnamed temporary goes with it
  if (!temporary_.empty()) directory_.remove(temporary_);
  platform::forget_temporary(ticket_);
  ticket_ = -1;
  temporary_.clear();
  active_ = false;
  directory_.close();
}

// Linked in as the target when there is none (no name is ever seen before
// the file is complete); otherwise under a temporary name that is then
// renamed over the target, listed for the signals meanwhile.
bool PendingFile::place_unnamed(std::string& error) {
  if (directory_.link(file_, name_)) return true;
  if (directory_.kind_of(name_) == platform::Directory::Kind::MISSING) {
    error = platform::last_error_text();
    return false;
  }
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    const std::string name = platform::temporary_name();
    ticket_ = platform::remember_temporary(directory_, name);
    if (directory_.link(file_, name)) {
      temporary_ = name;
      break;
    }
    error = platform::last_error_text();
    platform::forget_temporary(ticket_);
    ticket_ = -1;
    if (directory_.kind_of(name) == platform::Directory::Kind::MISSING) return false;
  }
  if (temporary_.empty()) return false;
  if (!directory_.rename(temporary_, name_)) {
    error = platform::last_error_text();
    return false;  // discard() removes the temporary name
  }
  platform::forget_temporary(ticket_);
  ticket_ = -1;
  temporary_.clear();
  return true;
}

bool PendingFile::commit(bool durable, const std::function<void(platform::File&)>& finish, std::string& error) {
  if (!file_.flush()) {
    error = file_.error();
    discard();
    return false;
  }
  if (finish) finish(file_);
  if (durable && !file_.sync()) {
    error = file_.error();
    discard();
    return false;
  }
  if (temporary_.empty()) {
    // Named while still open: the name is what keeps it.
    if (!place_unnamed(error)) {
      discard();
      return false;
    }
    const bool closed = file_.close();
    if (!closed) error = file_.error();  // in place all the same: its bytes were flushed
    active_ = false;
    directory_.close();
    return closed;
  }
  if (!file_.close()) {
    error = file_.error();
    discard();
    return false;
  }
  if (!directory_.rename(temporary_, name_)) {
    error = platform::last_error_text();
    discard();
    return false;
  }
  platform::forget_temporary(ticket_);
  ticket_ = -1;
  temporary_.clear();
  active_ = false;
  directory_.close();
  return true;
}

}  // namespace tarn
