#include "parallel/piece_spill.h"

#include "common/error.h"

namespace tarn {

namespace {
constexpr size_t SPILL_BUFFER = 256 * 1024;
}

PieceSpill::PieceSpill(const std::string& directory) {
  std::string error;
  const std::string place = directory + "spill";
  if (!file_.create(place, SPILL_BUFFER, false, error)) raise_error(ErrorCode::IO_ERROR, directory + ": " + error);
  if (!reader_.open_read(file_.temporary(), SPILL_BUFFER))
    raise_error(ErrorCode::IO_ERROR, file_.temporary() + ": " + reader_.error());
}

void PieceSpill::append(const Piece& piece) {
  platform::File& out = file_.file();
  if (!out.write(piece.bytes.data(), piece.bytes.size()) || !out.flush())
    raise_error(ErrorCode::IO_ERROR, file_.temporary() + ": " + out.error());
  std::lock_guard<std::mutex> lock(records_mutex_);
  records_.push_back({piece.bytes.size(), piece.done, piece.damaged});
}

void PieceSpill::read_next(Piece& piece) {
  Record r;
  {
    std::lock_guard<std::mutex> lock(records_mutex_);
    r = records_.front();
    records_.pop_front();
  }
  piece.bytes.resize(static_cast<size_t>(r.size));
  piece.done = r.done;
  piece.damaged = r.damaged;
  // Seeking first drops what the reader's buffer held of the file's end
  // (and its end-of-file state) while the writer went on.
  if (!reader_.seek(read_offset_) || !reader_.read_exact(piece.bytes.data(), piece.bytes.size()))
    raise_error(ErrorCode::IO_ERROR, file_.temporary() + ": " + reader_.error());
  read_offset_ += r.size;
}

void PieceSpill::reset() {
  std::lock_guard<std::mutex> lock(records_mutex_);
  records_.clear();
  platform::File& out = file_.file();
  if (!out.truncate(0) || !out.seek(0))
    raise_error(ErrorCode::IO_ERROR, file_.temporary() + ": " + out.error());
  read_offset_ = 0;
}

}  // namespace tarn
