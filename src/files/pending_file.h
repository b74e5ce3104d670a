// A file written beside its destination and put in place when complete.
//
// Nothing is ever written through an existing file: the bytes go to a new
// temporary file in the destination's own directory, which commit() renames
// over the destination in one step once they are complete. Until then the
// destination stays exactly as it was (a file of that name, a hard link to
// a file elsewhere, a symbolic link), and a failure, an exception or a
// terminating signal removes the temporary instead. The archive being
// created and every extracted file are written this way.
#pragma once

#include <functional>
#include <string>

#include "platform/file.h"

namespace tarn {

class PendingFile {
 public:
  // Creates the temporary for `target` (OS form). With `exclusive` it takes
  // the writer's lock. Returns false with the system's reason in `error`.
  bool create(const std::string& target, size_t buffer_size, bool exclusive, std::string& error);
  ~PendingFile();
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool active() const { return !temporary_.empty(); }
  platform::File& file() { return file_; }
  const std::string& temporary() const { return temporary_; }
  const std::string& target() const { return target_; }

  // Closes the temporary (with `durable`, after the system has put it on
  // the disk), lets `finish` set its metadata by path, and renames it over
  // the target. False with the system's reason in `error`; the temporary is
  // then removed.
  bool commit(bool durable, const std::function<void(const std::string&)>& finish, std::string& error);
  // Removes the temporary (also what the destructor does if not committed).
  void discard();

 private:
  platform::File file_;
  std::string target_;
  std::string temporary_;
  int ticket_ = -1;
};

}  // namespace tarn
