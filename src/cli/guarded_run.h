// The one way a run of tarnc, the self-extractor or tarn-inspect ends after
// a failure.
//
// The library reports every unrecoverable condition by throwing TarnError.
// run_guarded runs a program's body and catches it here, and only here,
// together with the failures of the C++ runtime (a failed allocation is
// "Memory allocation error!", any other exception "I/O error" with its text
// as detail), so that nothing escapes as "terminate called". The front end's
// `report` then says what happened; the files the run was writing are
// removed by their owners as the stack unwinds, and whatever a signal or an
// early exit would leave is removed through the platform's cleanup list.
#pragma once

#include <functional>
#include <string>

#include "common/error.h"

namespace tarn {

// Runs `body` and returns its status; after a failure calls `report` with
// it and returns 1.
int run_guarded(const std::function<int()>& body, const std::function<void(const TarnError&)>& report);

// The report of tarnc and the self-extractor: the detail, if any, on
// standard error as "<program>: <detail>", then "\nFATAL: <message>\n\n" on
// standard output.
void print_fatal(const std::string& program, const TarnError& error);

}  // namespace tarn
