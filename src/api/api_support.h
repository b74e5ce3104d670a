// What every call of the C interface shares: turning the library's failures
// into result codes, the thread's last error text, and the events the
// drivers report turned into the caller's event callback.
//
// Inside, the library reports an unrecoverable condition by throwing
// TarnError (common/error.h). At the interface, `guarded` runs a call's body
// and catches everything -- TarnError, the C++ runtime's failures, a
// callback's request to stop -- so that nothing crosses into the caller's
// code but a tarn_result; the text for the user is kept per thread for
// tarn_last_error().
#pragma once

#include <functional>
#include <string>

#include "archive/events.h"
#include "common/error.h"
#include "tarn/tarn.h"

namespace tarn::api {

// Thrown through the drivers when a caller's callback asks to stop.
struct CallerStopped {};

// Sets the thread's last error text.
void set_last_error(std::string text);
// A failure to return: the code, with its text.
tarn_result fail(tarn_result code, std::string text);
// The result code of a library failure.
tarn_result result_of(ErrorCode code);

// Runs `body` and returns its result, or the result of what it threw.
tarn_result guarded(const std::function<tarn_result()>& body);

// Hands events to a caller's callback; a callback that returns nonzero
// stops the call (CallerStopped).
class EventSink {
 public:
  EventSink(tarn_event_fn fn, void* opaque) : fn_(fn), opaque_(opaque) {}
  bool active() const { return fn_ != nullptr; }
  void send(tarn_event_kind kind, int64_t index, const std::string* name, uint64_t done, uint64_t total,
            int code = TARN_OK, const char* text = nullptr) const;

 private:
  tarn_event_fn fn_;
  void* opaque_;
};

}  // namespace tarn::api
