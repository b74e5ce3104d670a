// The program's failures and their fixed messages.
//
// Every unrecoverable condition, wherever it is found, is reported by throwing
// a TarnError that carries one of twelve codes and, where there is one, a
// detail for the user: the path concerned and the operating system's reason
// ("out/a.txt: No space left on device"). Nothing in the library ends the
// process: the front ends catch the error in one place (cli/guarded_run.h),
// which prints the detail on standard error, "\nFATAL: <message>\n\n" on
// standard output, removes the files the run was writing and exits with
// status 1.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

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

// Why an input ran out, for callers that tell a short archive from a
// failing device; the program's texts do not depend on it.
enum class ErrorCause : uint8_t { GENERAL = 0, ENDS_EARLY = 1 };

class TarnError : public std::exception {
 public:
  explicit TarnError(ErrorCode code, std::string detail = {}, ErrorCause cause = ErrorCause::GENERAL)
      : code_(code), cause_(cause), detail_(std::move(detail)) {}
  ErrorCode code() const { return code_; }
  ErrorCause cause() const { return cause_; }
  // What the user needs beyond the message; may be empty.
  const std::string& detail() const { return detail_; }
  const char* what() const noexcept override { return error_message(code_); }

 private:
  ErrorCode code_;
  ErrorCause cause_;
  std::string detail_;
};

[[noreturn]] inline void raise_error(ErrorCode code) { throw TarnError(code); }
[[noreturn]] inline void raise_error(ErrorCode code, std::string detail) { throw TarnError(code, std::move(detail)); }

}  // namespace tarn
