// A file written beside its destination and put in place when complete.
//
// Nothing is ever written through an existing file: the bytes go to a new
// temporary file in the destination's own directory, held open by a
// directory handle (platform/directory.h), which commit() puts in place in
// one step once they are complete. Until then the destination stays exactly
// as it was (a file of that name, a hard link to a file elsewhere, a
// symbolic link). Where the file system allows it the temporary has no
// name at all until then, so that nothing of it can be left behind however
// the process ends; it is then linked in as the destination when there is
// none, or linked in under a temporary name and renamed over the
// destination. Elsewhere it is a named file, and a failure, an exception or
// a terminating signal removes it. The archive being created and every
// extracted file are written this way.
#pragma once

#include <functional>
#include <string>

#include "platform/directory.h"
#include "platform/file.h"

namespace tarn {

class PendingFile {
 public:
  // Creates the temporary for `target` (OS form) in the directory that
  // holds it, opened by its path. With `exclusive` it takes the writer's
  // lock. Returns false with the system's reason in `error`.
  bool create(const std::string& target, size_t buffer_size, bool exclusive, std::string& error);
  // Creates the temporary in `directory`, which it keeps, for its entry
  // `name`; `shown` is the destination as messages name it.
  bool create_in(platform::Directory directory, const std::string& name, const std::string& shown, size_t buffer_size,
                 bool exclusive, std::string& error);
  ~PendingFile();
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool active() const { return active_; }
  // Whether the temporary has no name (nothing to remove on a signal).
  bool unnamed() const { return active_ && temporary_.empty(); }
  platform::File& file() { return file_; }
  // The temporary as messages name it: its path, or the destination's
  // when it has no name.
  std::string temporary() const;
  const std::string& target() const { return shown_; }

  // Flushes the temporary, lets `finish` set its metadata on the open file,
  // (with `durable`) waits until the system has it on the disk, and puts it
  // in place of the target. False with the system's reason in `error`; the
  // temporary is then removed.
  bool commit(bool durable, const std::function<void(platform::File&)>& finish, std::string& error);
  // Removes the temporary (also what the destructor does if not committed).
  void discard();

 private:
  bool create_named(size_t buffer_size, bool exclusive, std::string& error);
  bool place_unnamed(std::string& error);

  platform::File file_;
  platform::Directory directory_;
  std::string name_;       // the destination's name in directory_
  std::string shown_;      // the destination as messages name it
  std::string temporary_;  // the temporary's name in directory_, empty when unnamed
  bool active_ = false;
  int ticket_ = -1;
};

}  // namespace tarn
