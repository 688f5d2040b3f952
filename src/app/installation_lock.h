// One updater at a time per installation, in every session and of every user of the machine: a
// second run's recovery would otherwise undo the first run's transaction in the middle of its
// moves.
#pragma once

#include "common/paths.h"
#include "common/scoped_handle.h"

namespace tavrel {

// "Global\TavrelUpdateLock-" and the first 16 bytes of the SHA-512 of the canonical
// installation directory's display text, in hex.
platform::native_text installation_lock_name(const path& app_dir);
// No handle when another run holds the installation.
scoped_handle lock_installation(const path& app_dir);

} // namespace tavrel
