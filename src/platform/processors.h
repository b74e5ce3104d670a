// How many processors this process may run on.
//
// Files and groups are packed and decoded on one worker per processor. A
// process confined to fewer processors than the machine has (an affinity
// mask, a container's CPU set) counts only those: a second worker on a
// processor already busy with the first would only add switching.
#pragma once

namespace tarn::platform {

// At least 1.
unsigned usable_processors();

}  // namespace tarn::platform
