// One running copy per game: a lock file keyed by the game's product names, held with a
// non-blocking flock for the life of the process (the kernel lets go of it however the
// process ends, so a crash never leaves a stale lock behind).
#pragma once

#include <string>

namespace kestrune::platform {

// Takes the lock for the product names in `folder` (created when missing). False when
// another process holds it (`error` says so) or the file cannot be made.
bool take_instance_lock(const std::string& folder, const std::string& brand,
                        const std::string& name, const std::string& version, std::string& error);
// Gives the lock back (shutdown); nothing when none is held.
void release_instance_lock();

// The folder for the lock: $XDG_RUNTIME_DIR when set, else `fallback`.
std::string instance_lock_folder(const std::string& fallback);

} // namespace kestrune::platform
