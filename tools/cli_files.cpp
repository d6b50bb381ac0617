// cli_files - whole-file input and atomic output of the command, and paths
// (tested through the command in tests/cli_test.cpp)
#include "cli_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_texts.h"

namespace hdrw_cli {

namespace {

// input_failure - a failure naming the input ("standard input" for "-")
Failure input_failure(const std::string &path, const std::string &what) {
  return Failure((path == "-" ? std::string("standard input") : path) + ": " + what);
}

}  // namespace

// read_input - the whole content of a file, or of standard input for "-", up
// to max bytes; a longer input is refused before more than max + 1 bytes are held
std::string read_input(const std::string &path, size_t max) {
  int fd = STDIN_FILENO;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw input_failure(path, "cannot open: " + errno_text(errno));
  }
  std::string data;
  int err = 0;
  bool too_long = false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  } else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > max) {
    too_long = true;
  } else {
    // A regular file's size presizes the buffer one byte beyond it, so a file
    // of the size its status gave costs a single read.
    data.resize(S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) + 1 : 4096);
    size_t len = 0;
    for (;;) {
      if (len == data.size()) {
        if (len > max) {
          too_long = true;
          break;
        }
        data.resize(std::min(data.size() * 2, max + 1));
      }
      ssize_t n = ::read(fd, data.data() + len, data.size() - len);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = errno;
        break;
      }
      if (n == 0) break;
      len += static_cast<size_t>(n);
    }
    data.resize(len);
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (err == EISDIR) throw input_failure(path, "is a directory");
  if (err != 0) throw input_failure(path, "read error: " + errno_text(err));
  if (too_long || data.size() > max) {
    throw input_failure(path, "longer than " + std::to_string(max) + " bytes; refused");
  }
  return data;
}

namespace {

// write_all - the whole of data to an open descriptor; 0 or the errno
int write_all(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// link_target - where path leads after its symbolic links, which need not exist
// yet (a dangling link names the file to create); false with err on a loop
bool link_target(const std::string &path, std::string &target, int &err) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::error_code ec;
    std::filesystem::path next = std::filesystem::read_symlink(target, ec);
    if (ec) {
      err = ec.value();
      return false;
    }
    if (next.is_relative()) next = std::filesystem::path(target).parent_path() / next;
    target = next.string();
  }
  err = ELOOP;
  return false;
}

// write_in_place - truncates and writes an existing file or a device, keeping
// the node, its owner and its mode
int write_in_place(const std::string &target, const std::string &data, bool regular) {
  int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (regular ? O_TRUNC : 0));
  if (fd < 0) return errno;
  int err = write_all(fd, data);
  if (err == 0 && regular && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

}  // namespace

// write_output - writes data to standard output, or to path (see the header)
void write_output(const std::string &path, const std::string &data, bool secret) {
  if (path.empty() || path == "-") {
    std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
    std::cout.flush();
    if (!std::cout) throw Failure("standard output: write error");
    return;
  }
  std::string target;
  int err = 0;
  if (!link_target(path, target, err))
    throw Failure(path + ": cannot follow the link: " + errno_text(err));
  struct stat st {};
  bool exists = ::stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) throw Failure(path + ": " + errno_text(errno));
  if (exists && S_ISDIR(st.st_mode)) throw Failure(path + ": is a directory");
  // A device, a FIFO or a socket is written to, never replaced.
  if (exists && !S_ISREG(st.st_mode)) {
    err = write_in_place(target, data, false);
    if (err != 0) throw Failure(path + ": cannot write: " + errno_text(err));
    return;
  }
  // A regular file or a new path: a temporary beside it, renamed over it, so
  // the file appears complete or not at all. It gets the existing file's mode
  // and owner, or the mode a new file gets (owner-only for secret text).
  std::string tmp = target + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    int create_err = errno;
    if (!exists || create_err != EACCES)
      throw Failure(path + ": cannot create: " + errno_text(create_err));
    // A file we may write in a directory we may not: written in place.
    err = write_in_place(target, data, true);
    if (err != 0) throw Failure(path + ": cannot write: " + errno_text(err));
    return;
  }
  mode_t mask = umask(0);
  umask(mask);
  mode_t mode = exists ? st.st_mode & 07777 : (secret ? 0600 : 0666 & ~mask);
  bool in_place = false;
  err = write_all(fd, data);
  if (err == 0 && exists && (st.st_uid != geteuid() || st.st_gid != getegid()) &&
      ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    in_place = true;  // the owner could not be kept: the file is written where it is
  }
  if (err == 0 && !in_place && ::fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && !in_place && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && !in_place && std::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0 || in_place) std::remove(tmp.c_str());
  if (err == 0 && in_place) err = write_in_place(target, data, true);
  if (err != 0) throw Failure(path + ": cannot write: " + errno_text(err));
}

// absolute_path - path made absolute against the current directory, lexically
std::string absolute_path(const std::string &path) {
  if (path.empty() || path == "-") return path;
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return p.lexically_normal().string();
}

// directory_of - the directory part of a path, "." when it has none
std::string directory_of(const std::string &path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace hdrw_cli
