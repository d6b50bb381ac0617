// cli_files - whole-file input and output of the command, and its paths
//
// read_input(path, max) ("-" = standard input) reads a whole input of at most
// max bytes (kMaxInput unless told; a longer one, /dev/zero or an endless pipe
// is refused once max + 1 bytes are held).
// write_output(path, data, secret) ("-" or empty = standard output) writes a
// whole output: a symbolic link is followed to its target; a device, FIFO or
// socket is written to directly; a regular file or a new path is written
// through a temporary beside it renamed at the end, so it appears complete or
// not at all, keeping an existing file's mode and owner (a file whose owner
// cannot be kept, or in a directory that refuses the temporary, is written in
// place); a new file gets mode 0666 less the umask, or 0600 when secret
// (decrypted rule text).
// Both throw Failure (cli_errors.h) with a line naming the file and the
// reason; nothing is left half-written by write_output's temporary.
//
// absolute_path(path) makes a path absolute against the current directory
// without resolving links ("" and "-" stay as they are), so the command can
// change directory and still find what the user named; directory_of(path) is
// its directory part, "." for a bare file name.
#ifndef TOOLS_CLI_FILES_H
#define TOOLS_CLI_FILES_H

#include <cstddef>
#include <string>

#include "cli_errors.h"

namespace hdrw_cli {

constexpr size_t kMaxInput = size_t{64} << 20;  // bytes of a rule file or certificate read whole

std::string read_input(const std::string &path, size_t max = kMaxInput);
void write_output(const std::string &path, const std::string &data, bool secret = false);
std::string absolute_path(const std::string &path);
std::string directory_of(const std::string &path);  // "." for a bare file name

}  // namespace hdrw_cli

#endif
