#include "parallel/piece_spill.h"

#include "common/error.h"

namespace tarn {

namespace {
constexpr size_t SPILL_BUFFER = 256 * 1024;
}

PieceSpill::PieceSpill(const std::string& directory) {
  std::string error;
  if (!file_.create(directory + "spill", SPILL_BUFFER, false, error))
    raise_error(ErrorCode::IO_ERROR, (directory.empty() ? std::string(".") : directory) + ": " + error);
}

void PieceSpill::failed() { raise_error(ErrorCode::IO_ERROR, file_.temporary() + ": " + file_.file().error()); }

void PieceSpill::append(const Piece& piece) {
  std::lock_guard<std::mutex> lock(mutex_);
  platform::File& f = file_.file();
  if (!f.seek(write_offset_) || !f.write(piece.bytes.data(), piece.bytes.size())) failed();
  write_offset_ += piece.bytes.size();
  records_.push_back({piece.bytes.size(), piece.done, piece.damaged});
}

void PieceSpill::read_next(Piece& piece) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Record r = records_.front();
  records_.pop_front();
  piece.bytes.resize(static_cast<size_t>(r.size));
  piece.done = r.done;
  piece.damaged = r.damaged;
  // Seeking between writing and reading is what the stream needs to switch.
  platform::File& f = file_.file();
  if (!f.seek(read_offset_) || !f.read_exact(piece.bytes.data(), piece.bytes.size())) failed();
  read_offset_ += r.size;
}

void PieceSpill::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
  if (!file_.file().truncate(0)) failed();
  write_offset_ = read_offset_ = 0;
}

}  // namespace tarn
