// A spill file for the pieces of one job that run ahead of the caller.
//
// One worker appends pieces and the caller reads them back in the same
// order, through one handle on the file that each side takes in turn (a
// second handle would need sharing modes some systems refuse); the runner
// keeps the count of pieces written and not yet read, so the caller reads
// only what the worker has finished. The file is made beside the output the
// run writes (a temporary of files/pending_file.h, so a signal removes it)
// and emptied for the next job when its job is released.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "files/pending_file.h"
#include "parallel/ordered_streams.h"

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
  [[noreturn]] void failed();

  PendingFile file_;  // never committed: removed when the spill goes
  std::mutex mutex_;  // the file's position and the records
  std::deque<Record> records_;
  uint64_t write_offset_ = 0;
  uint64_t read_offset_ = 0;
};

}  // namespace tarn
