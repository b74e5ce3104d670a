// Where the bytes of a stream come from.
//
// A stream is decoded from a piece of an archive and packed from the bytes of
// its members, wherever they are: a file, memory, or what a caller hands
// over. The stream layer sees only these two interfaces, never a path.
//
// RandomAccessInput is the archive being read: every reader -- the table
// reader and each decoding worker -- reads it through the one input opened
// at the start, by position, so that all of them read the same file even
// when its name is given to another file meanwhile. Its reads may come from
// several threads at once.
//
// SequentialInput is one member being packed, read from its start to its
// end by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn {

class RandomAccessInput {
 public:
  virtual ~RandomAccessInput() = default;
  // The length when it was opened.
  virtual uint64_t length() const = 0;
  // Reads up to `count` bytes at `position`; fewer only at the end. Raises
  // IO_ERROR with the name and the system's reason when the read fails.
  // Safe to call from several threads at once.
  virtual size_t read_at(uint64_t position, void* data, size_t count) const = 0;
  // The name used in messages.
  virtual const std::string& name() const = 0;
};

class SequentialInput {
 public:
  virtual ~SequentialInput() = default;
  // Reads up to `count` bytes; fewer only at the end. Raises IO_ERROR with
  // the name and the system's reason when the read fails.
  virtual size_t read(void* data, size_t count) = 0;
  // The name used in messages.
  virtual const std::string& name() const = 0;

  // Reads exactly `count` bytes, or raises IO_ERROR naming the input.
  void read_exact(void* data, size_t count);
  // Whether a byte follows what was read (it is read, so this is the last
  // call): a member that grew after it was selected.
  bool holds_more();
};

}  // namespace tarn
