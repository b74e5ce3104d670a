// A spill file for the pieces of one job that run ahead of the caller.
//
// One worker appends pieces and the caller reads them back in the same
// order, each through its own handle on the file; the runner keeps the
// count of pieces written and not yet read, so each side only ever touches
// what the other has finished with. The file is made beside the output the
// run writes (a temporary of files/pending_file.h, so a signal removes it)
// and emptied for the next job when its job is released.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "files/pending_file.h"
#include "parallel/ordered_streams.h"
#include "platform/file.h"

namespace tarn {

class PieceSpill {
 public:
  // Raises IO_ERROR when the file cannot be made.
  explicit PieceSpill(const std::string& directory);
  // Worker side: raises IO_ERROR on a write failure.
  void append(const Piece& piece);
  // Caller side, for a piece the worker has appended.
  void read_next(Piece& piece);
  // Empties the file for another job (caller side, no writer active).
  void reset();

 private:
  struct Record {
    uint64_t size;
    uint64_t done;
    bool damaged;
  };
  PendingFile file_;  // never committed: removed when the spill goes
  platform::File reader_;
  std::mutex records_mutex_;
  std::deque<Record> records_;
  uint64_t read_offset_ = 0;
};

}  // namespace tarn
