// The program's failures and their fixed messages.
//
// Every unrecoverable condition, wherever it is found, is reported by throwing
// a TarnError that carries one of twelve codes. Nothing in the library ends
// the process: the command-line front end catches the error in one place,
// prints "\nFATAL: <message>\n\n", removes a half-written archive and exits
// with status 1.
#pragma once

#include <cstdint>
#include <exception>

namespace tarn {

enum class ErrorCode : uint8_t {
  IO_ERROR = 0,             // "I/O error"
  OUT_OF_MEMORY = 1,        // "Memory allocation error!"
  UNEXPECTED_EOF = 2,       // "Unexpected end of file!"
  CANNOT_OPEN_ARCHIVE = 3,  // "Cannot open archive!"
  INCORRECT_REQUEST = 4,    // "Incorrect request!"
  ARCHIVE_TOO_BIG = 5,      // "Archive too big (max. 2 Gb)!"
  NOTHING_TO_DO = 6,        // "Nothing to do!"
  SFX_APPEND = 7,           // "Unable to append SFX code!"
  SFX_TOO_BIG = 8,          // "SFX code too big!"
  NOT_AN_ARCHIVE = 9,       // "Not a Tarn archive!"
  OTHER_VERSION = 10,       // "Archive created with other Tarn version!"
  HEADER_DAMAGE = 11,       // "Header damage encountered!"
};

// The message text of a code, exactly as printed.
const char* error_message(ErrorCode code);

class TarnError : public std::exception {
 public:
  explicit TarnError(ErrorCode code) : code_(code) {}
  ErrorCode code() const { return code_; }
  const char* what() const noexcept override { return error_message(code_); }

 private:
  ErrorCode code_;
};

[[noreturn]] inline void raise_error(ErrorCode code) { throw TarnError(code); }

}  // namespace tarn
