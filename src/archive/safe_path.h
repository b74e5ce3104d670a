// Stored names made safe to join to the output directory.
//
// An archive may hold any name. Before a name is joined to the output
// prefix, drive designators ("X:") and leading separators are dropped, and
// so are "." and ".." components, so that nothing is ever written outside
// the output directory. Both "\" and "/" count as separators here, since
// either separates directories on POSIX.
#pragma once

#include <string>

namespace tarn {

// The safe relative name (backslash-separated); empty when nothing is left.
std::string make_safe_relative_name(const std::string& name);

}  // namespace tarn
