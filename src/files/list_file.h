// List files: the arguments that "@name" stands for, one per line.
//
// A line ends at LF, at CR or at the end of the file (so CR LF ends one line
// and the empty line between them is skipped, like every empty line). Each
// line is handed on as soon as it is read, while the file stays open, so a
// line that names a further list file ("@other") is read at once: list files
// nest, up to 16 deep. A list file that is already being read (one that
// includes itself, or a -> b -> a) would be read for ever and is refused.
#pragma once

#include <functional>
#include <string>

namespace tarn {

// Calls `each_line` with every non-empty line of the list file `name` (as
// typed: "/" and "\" both separate directories), and with those of the list
// files it names in their place. Raises IO_ERROR when a file cannot be
// opened, INCORRECT_REQUEST when one is already being read or nested too
// deep, with the file named in the detail.
void read_list_file(const std::string& name, const std::function<void(const std::string&)>& each_line);

}  // namespace tarn
