// The six command handlers and the program's single exit path.
//
// run_tarnc is the whole program: banner, parsing, one handler, all inside
// the guarded runner (cli/guarded_run.h), which turns every failure into
// "\nFATAL: <message>\n\n" and status 1. The archive being created is a
// temporary until it is complete, so a failed run leaves no archive behind
// and an archive of that name that existed before it unchanged. An archive
// opened for reading is never touched.
#pragma once

#include <string>
#include <vector>

#include "cli/settings.h"

namespace tarn {

int run_tarnc(const std::vector<std::string>& args);

}  // namespace tarn
