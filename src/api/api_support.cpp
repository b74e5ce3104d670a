#include "api/api_support.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace tarn::api {

namespace {
thread_local std::string last_error;
}

void set_last_error(std::string text) { last_error = std::move(text); }

tarn_result fail(tarn_result code, std::string text) {
  set_last_error(std::move(text));
  return code;
}

tarn_result result_of(ErrorCode code) {
  switch (code) {
    case ErrorCode::IO_ERROR: return TARN_ERROR_IO;
    case ErrorCode::OUT_OF_MEMORY: return TARN_ERROR_NO_MEMORY;
    case ErrorCode::UNEXPECTED_EOF: return TARN_ERROR_END_OF_DATA;
    case ErrorCode::CANNOT_OPEN_ARCHIVE: return TARN_ERROR_IO;
    case ErrorCode::INCORRECT_REQUEST: return TARN_ERROR_ARGUMENT;
    case ErrorCode::ARCHIVE_TOO_BIG: return TARN_ERROR_TOO_BIG;
    case ErrorCode::NOTHING_TO_DO: return TARN_ERROR_NOT_FOUND;
    case ErrorCode::SFX_APPEND: return TARN_ERROR_STUB;
    case ErrorCode::SFX_TOO_BIG: return TARN_ERROR_STUB;
    case ErrorCode::NOT_AN_ARCHIVE: return TARN_ERROR_NOT_ARCHIVE;
    case ErrorCode::OTHER_VERSION: return TARN_ERROR_VERSION;
    case ErrorCode::HEADER_DAMAGE: return TARN_ERROR_DAMAGED_TABLE;
  }
  return TARN_ERROR_IO;
}

tarn_result guarded(const std::function<tarn_result()>& body) {
  try {
    return body();
  } catch (const TarnError& error) {
    const tarn_result code =
        error.cause() == ErrorCause::ENDS_EARLY ? TARN_ERROR_END_OF_DATA : result_of(error.code());
    return fail(code, error.detail().empty() ? error.what() : error.detail());
  } catch (const CallerStopped&) {
    return fail(TARN_ERROR_ABORTED, "stopped by the caller");
  } catch (const std::bad_alloc&) {
    return fail(TARN_ERROR_NO_MEMORY, "out of memory");
  } catch (const std::length_error&) {
    return fail(TARN_ERROR_NO_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(TARN_ERROR_IO, e.what());
  } catch (...) {
    return fail(TARN_ERROR_IO, "unexpected failure");
  }
}

void EventSink::send(tarn_event_kind kind, int64_t index, const std::string* name, uint64_t done, uint64_t total,
                     int code, const char* text) const {
  if (fn_ == nullptr) return;
  tarn_event event{};
  event.kind = kind;
  event.index = index;
  event.name = name != nullptr ? name->c_str() : nullptr;
  event.done = done;
  event.total = total;
  event.code = code;
  event.text = text;
  if (fn_(opaque_, &event) != 0) throw CallerStopped{};
}

}  // namespace tarn::api

extern "C" {

const char* tarn_strerror(int result) {
  switch (result) {
    case TARN_OK: return "success";
    case TARN_ERROR_ARGUMENT: return "bad argument";
    case TARN_ERROR_IO: return "input/output error";
    case TARN_ERROR_NOT_ARCHIVE: return "not a tarn archive";
    case TARN_ERROR_VERSION: return "archive of another format version";
    case TARN_ERROR_DAMAGED_TABLE: return "damaged file table";
    case TARN_ERROR_DAMAGED_ENTRY: return "damaged entry";
    case TARN_ERROR_NO_MEMORY: return "out of memory";
    case TARN_ERROR_TOO_BIG: return "too big for an archive";
    case TARN_ERROR_NOT_FOUND: return "no such entry";
    case TARN_ERROR_EXISTS: return "file exists";
    case TARN_ERROR_REFUSED: return "refused";
    case TARN_ERROR_ABORTED: return "stopped by the caller";
    case TARN_ERROR_STATE: return "not possible now";
    case TARN_ERROR_END_OF_DATA: return "unexpected end of data";
    case TARN_ERROR_STUB: return "unusable self-extractor stub";
    default: return "unknown result";
  }
}

const char* tarn_last_error(void) { return tarn::api::last_error.c_str(); }

void tarn_free(void* data) { std::free(data); }

unsigned tarn_version_number(void) { return TARN_VERSION_NUMBER; }

const char* tarn_version_string(void) { return TARN_VERSION_STRING; }

}  // extern "C"
