// Running a program and collecting what it writes: the part of
// System::spawn_collect that macOS and Linux share.
#pragma once

#include "os/system.h"

namespace lumenstat::os {

// As System::spawn_collect; `search_path` looks `file` up through PATH
// (posix_spawnp) instead of taking it as a path (posix_spawn).
int spawn_and_collect(const char* file, const char* const* argv, bool search_path,
                      ChildOutput& output);

}  // namespace lumenstat::os
