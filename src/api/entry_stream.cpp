// Entry streams: one entry's bytes decoded as they are read.
//
// A stream decodes through the stream layer directly, on the caller's
// thread: a packed file chunk stream by chunk stream as its bytes are
// asked for, a member of a packed solid group from the group's bytes
// (decoded once and kept by the reader while its members are read), a
// stored entry straight from the archive. Its CRC is checked when its end is
// reached, with the results the decoder found, exactly as extraction checks
// them.
#include <cstdlib>
#include <cstring>

#include "api/api_support.h"
#include "api/reader.h"
#include "common/crc32.h"

using tarn::api::fail;
using tarn::api::guarded;

struct tarn_entry_stream {
  enum class Kind { EMPTY, STORED, PACKED_FILE, PACKED_MEMBER };
  tarn_reader* reader = nullptr;
  size_t index = 0;
  const tarn::FileEntry* entry = nullptr;
  Kind kind = Kind::EMPTY;
  // STORED: the archive's bytes [next, end) are the entry's; `short_piece`
  // when its group's piece ends before the entry does.
  uint64_t next = 0;
  uint64_t end = 0;
  bool short_piece = false;
  bool group_member = false;
  // PACKED_FILE: the decoder and the chunk it handed out last.
  std::unique_ptr<tarn::PieceDecodeJob> job;
  std::vector<uint8_t> piece;
  size_t at = 0;
  bool job_done = false;
  // PACKED_MEMBER: the group's bytes, and the entry's place in them.
  std::shared_ptr<const tarn_reader::DecodedGroup> group;
  size_t member = 0;
  size_t slice_start = 0;
  size_t slice_end = 0;
  tarn::Crc32 crc;
  bool finished = false;
  tarn_result final = TARN_OK;
};

namespace {

using Stream = tarn_entry_stream;

tarn::PieceLayout layout_of(const tarn_reader& reader, size_t g) {
  const tarn::EntryGroup& group = reader.groups[g];
  const auto& all = reader.table.entries();
  tarn::PieceLayout layout;
  layout.offset = all[group.first].offset;
  layout.packed_size = all[group.first].packed_size;
  for (size_t k = 0; k < group.count; ++k) {
    const tarn::FileEntry& e = all[group.first + k];
    layout.members.push_back({k == 0 ? 0 : uint64_t{e.offset}, e.size});
  }
  return layout;
}

// The bytes and results of a packed group, decoded once per reader.
std::shared_ptr<const tarn_reader::DecodedGroup> decoded_group(tarn_reader& reader, size_t g) {
  if (reader.cached_group && reader.cached_group->group == g) return reader.cached_group;
  auto decoded = std::make_shared<tarn_reader::DecodedGroup>();
  decoded->group = g;
  tarn::PieceDecodeJob job(reader.archive.input(), layout_of(reader, g), true, reader.coding, reader.pool);
  tarn::Piece piece;
  if (job.next_piece(piece)) decoded->bytes = std::move(piece.bytes);
  for (size_t k = 0; k < reader.groups[g].count; ++k) decoded->results.push_back(job.result(k));
  reader.cached_group = decoded;
  return decoded;
}

void open_stream(Stream& s) {
  tarn_reader& reader = *s.reader;
  const size_t g = reader.group_of[s.index];
  const tarn::EntryGroup& group = reader.groups[g];
  const tarn::FileEntry& head = reader.table.entries()[group.first];
  const tarn::FileEntry& e = *s.entry;
  const bool stored = (head.flags & tarn::FLAG_STORED) != 0;
  s.crc.begin();
  s.member = s.index - group.first;
  const uint64_t position = s.member == 0 ? 0 : uint64_t{e.offset};
  if (e.is_directory() || (group.count == 1 && e.size == 0)) {
    s.kind = Stream::Kind::EMPTY;
  } else if (stored) {
    s.kind = Stream::Kind::STORED;
    s.group_member = group.count > 1;
    if (s.group_member) {
      // A member: its bytes at its position in the group's piece, as far as
      // the piece goes; the piece must lie inside the archive.
      const uint64_t length = reader.archive.length();
      if (head.offset > length || head.packed_size > length - head.offset)
        tarn::raise_error(tarn::ErrorCode::IO_ERROR, reader.archive.archive_name() + ": stored data past the end of the file");
      const uint64_t available = head.packed_size;
      const uint64_t start = position < available ? position : available;
      const uint64_t stop = position + e.size <= available ? position + e.size : available;
      s.next = head.offset + start;
      s.end = head.offset + stop;
      s.short_piece = position + e.size > available;
    } else {
      s.next = e.offset;
      s.end = uint64_t{e.offset} + e.size;
    }
  } else if (group.count == 1) {
    s.kind = Stream::Kind::PACKED_FILE;
    s.job = std::make_unique<tarn::PieceDecodeJob>(reader.archive.input(), layout_of(reader, g), true, reader.coding,
                                                   reader.pool);
  } else {
    s.kind = Stream::Kind::PACKED_MEMBER;
    s.group = decoded_group(reader, g);
    const uint64_t available = s.group->bytes.size();
    s.slice_start = static_cast<size_t>(position < available ? position : available);
    s.slice_end = static_cast<size_t>(position + e.size <= available ? position + e.size : available);
  }
}

// The end of the entry: its check.
tarn_result finish(Stream& s, uint32_t crc, bool damaged) {
  s.finished = true;
  if (damaged || crc != s.entry->crc) {
    s.final = TARN_ERROR_DAMAGED_ENTRY;
    return fail(TARN_ERROR_DAMAGED_ENTRY, s.entry->name + ": CRC error");
  }
  return TARN_OK;
}

tarn_result read_stream(Stream& s, uint8_t* out, size_t size, size_t& got) {
  got = 0;
  switch (s.kind) {
    case Stream::Kind::EMPTY:
      if (s.entry->is_directory()) {
        s.finished = true;
        return TARN_OK;
      }
      return finish(s, 0, false);
    case Stream::Kind::STORED: {
      const uint64_t left = s.end - s.next;
      const size_t want = left < size ? static_cast<size_t>(left) : size;
      if (want > 0) {
        const size_t n = s.reader->archive.input().read_at(s.next, out, want);
        if (n != want)
          tarn::raise_error(tarn::ErrorCode::IO_ERROR,
                            s.reader->archive.archive_name() + ": stored data past the end of the file");
        s.crc.update(out, n);
        s.next += n;
        got = n;
      }
      if (s.next == s.end) {
        const tarn_result r = finish(s, s.crc.value(), s.short_piece);
        if (got > 0 && r != TARN_OK) {
          s.finished = true;  // the data first; the failure with the next read
          return TARN_OK;
        }
        return r;
      }
      return TARN_OK;
    }
    case Stream::Kind::PACKED_FILE:
      while (s.at == s.piece.size()) {
        if (s.job_done) {
          const tarn::PieceDecodeJob::Result r = s.job->result(0);
          s.job.reset();
          return finish(s, r.crc, r.damaged);
        }
        tarn::Piece piece;
        if (!s.job->next_piece(piece)) {
          s.job_done = true;
          continue;
        }
        s.piece = std::move(piece.bytes);
        s.at = 0;
      }
      got = s.piece.size() - s.at < size ? s.piece.size() - s.at : size;
      std::memcpy(out, s.piece.data() + s.at, got);
      s.at += got;
      return TARN_OK;
    case Stream::Kind::PACKED_MEMBER: {
      if (s.slice_start == s.slice_end) {
        const tarn::PieceDecodeJob::Result& r = s.group->results[s.member];
        return finish(s, r.crc, r.damaged);
      }
      got = s.slice_end - s.slice_start < size ? s.slice_end - s.slice_start : size;
      std::memcpy(out, s.group->bytes.data() + s.slice_start, got);
      s.slice_start += got;
      return TARN_OK;
    }
  }
  return TARN_OK;
}

}  // namespace

extern "C" {

tarn_result tarn_entry_open(tarn_reader* reader, size_t index, tarn_entry_stream** stream) {
  if (reader == nullptr || stream == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no place for the stream");
  *stream = nullptr;
  if (index >= reader->table.count()) return fail(TARN_ERROR_ARGUMENT, "an entry index out of range");
  return guarded([&] {
    auto s = std::make_unique<tarn_entry_stream>();
    s->reader = reader;
    s->index = index;
    s->entry = &reader->table.entries()[index];
    open_stream(*s);
    *stream = s.release();
    return TARN_OK;
  });
}

tarn_result tarn_entry_read(tarn_entry_stream* stream, void* buffer, size_t size, size_t* got) {
  if (got != nullptr) *got = 0;
  if (stream == nullptr || got == nullptr || (buffer == nullptr && size > 0))
    return fail(TARN_ERROR_ARGUMENT, "no stream or no buffer");
  if (stream->finished) {
    if (stream->final != TARN_OK) return fail(stream->final, stream->entry->name + ": CRC error");
    return TARN_OK;
  }
  if (size == 0) return TARN_OK;
  const tarn_result r = guarded([&] {
    size_t n = 0;
    // A read gives bytes unless the end is reached.
    tarn_result result = TARN_OK;
    while (n == 0 && !stream->finished && result == TARN_OK)
      result = read_stream(*stream, static_cast<uint8_t*>(buffer), size, n);
    *got = n;
    return result;
  });
  if (r != TARN_OK && r != TARN_ERROR_DAMAGED_ENTRY) {
    stream->finished = true;
    stream->final = r;
  }
  return r;
}

void tarn_entry_close(tarn_entry_stream* stream) { delete stream; }

}  // extern "C"
