#include "files/pending_file.h"

#include "platform/cleanup.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {
constexpr int NAME_ATTEMPTS = 32;  // temporary names tried before giving up
}

bool PendingFile::create(const std::string& target, size_t buffer_size, bool exclusive, std::string& error) {
  discard();
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    const std::string name = platform::temporary_name_beside(target);
    // Listed before it exists, so that no moment is left in which a signal
    // would leave it behind.
    ticket_ = platform::remember_temporary(name);
    if (file_.create_new(name, buffer_size, exclusive)) {
      target_ = target;
      temporary_ = name;
      return true;
    }
    platform::forget_temporary(ticket_);
    ticket_ = -1;
    error = file_.error();
    platform::FileId existing;
    if (!platform::path_identity(name, existing)) break;  // not a clash of names: another will not help
  }
  return false;
}

PendingFile::~PendingFile() { discard(); }

void PendingFile::discard() {
  file_.close();
  if (!temporary_.empty()) platform::remove_file(temporary_);
  platform::forget_temporary(ticket_);
  ticket_ = -1;
  temporary_.clear();
}

bool PendingFile::commit(bool durable, const std::function<void(const std::string&)>& finish, std::string& error) {
  const bool written = (!durable || file_.sync()) && file_.close();
  if (!written) {
    error = file_.error();
    discard();
    return false;
  }
  if (finish) finish(temporary_);
  if (!platform::rename_replacing(temporary_, target_)) {
    error = platform::last_error_text();
    discard();
    return false;
  }
  platform::forget_temporary(ticket_);
  ticket_ = -1;
  temporary_.clear();
  return true;
}

}  // namespace tarn
