// Finding a program through PATH, as execvp does, before starting it: the
// caller then knows whether a program was found, which a failed start alone
// does not tell (posix_spawnp's EACCES may come from a directory of PATH this
// process may not search, its ENOENT from a found script whose interpreter is
// missing).
#pragma once

#include <expected>
#include <string>

namespace lumenstat::os {

// The program to run for `file`: `file` itself when it holds a slash, else
// the first regular file of that name that this process may execute in the
// directories of PATH (an empty element is the current directory; without
// PATH, /bin:/usr/bin). Directories that cannot be searched are passed over.
// When none is found, the errno such a search ends in: EACCES when a file of
// that name was refused or a directory could not be searched, else ENOENT.
std::expected<std::string, int> find_program(const char* file);

}  // namespace lumenstat::os
