// The six command handlers and the program's single exit path.
//
// run_tarnc is the whole program: banner, parsing, one handler. Library
// code reports every unrecoverable condition by throwing TarnError; this is
// the one place that catches it, prints "\nFATAL: <message>\n\n", deletes
// the archive being created (even one that existed before the run: it was
// emptied on opening) and returns status 1. An archive opened for reading
// is never touched.
#pragma once

#include <string>
#include <vector>

#include "cli/settings.h"

namespace tarn {

int run_tarnc(const std::vector<std::string>& args);

}  // namespace tarn
