// cli_common - argument walking and whole-file input and output of the command
// (tested through the command in tests/cli_test.cpp)
#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <iostream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hdrw_host.h"
#include "install_paths.h"
#include "tvr_messages.h"
#include "tvr_status.h"

namespace hdrw_cli {

ArgParser::ArgParser(std::string command, const std::vector<std::string> &words,
                     std::vector<std::pair<char, std::string>> short_values)
    : command_(std::move(command)), words_(words), short_values_(std::move(short_values)) {}

// ArgParser::next - classifies the next word as an option or an operand
bool ArgParser::next() {
  if (pos_ >= words_.size()) return false;
  word_ = words_[pos_++];
  option_ = false;
  has_inline_ = false;
  inline_.clear();
  name_.clear();
  if (!options_done_ && word_ == "--") {
    options_done_ = true;
    return next();
  }
  if (options_done_ || word_.size() < 2 || word_[0] != '-') return true;
  option_ = true;
  if (word_[1] == '-') {
    std::string body = word_.substr(2);
    size_t eq = body.find('=');
    if (eq != std::string::npos) {
      has_inline_ = true;
      inline_ = body.substr(eq + 1);
      body.resize(eq);
    }
    name_ = body;
    return true;
  }
  // A short option: "-h", or one of the declared value options, its value
  // attached ("-oFILE") or in the next word.
  char letter = word_[1];
  if (letter == 'h' && word_.size() == 2) {
    name_ = "help";
    return true;
  }
  for (const auto &[c, long_name] : short_values_) {
    if (c == letter) {
      name_ = long_name;
      if (word_.size() > 2) {
        has_inline_ = true;
        inline_ = word_.substr(2);
      }
      return true;
    }
  }
  unknown();
}

// ArgParser::value - the value of the current option
std::string ArgParser::value() {
  if (has_inline_) return inline_;
  if (pos_ >= words_.size()) fail("option '" + word_ + "' needs a value");
  return words_[pos_++];
}

// ArgParser::no_value - refuses "--flag=value" for an option that takes none
void ArgParser::no_value() const {
  if (has_inline_) fail("option '--" + name_ + "' takes no value");
}

// ArgParser::unknown - the current word is no option of this command
void ArgParser::unknown() const { fail("unknown option '" + word_ + "'"); }

// ArgParser::fail - a usage error of this command
void ArgParser::fail(const std::string &reason) const { throw UsageError(command_, reason); }

// parse_int32 - a whole signed decimal number within 32 bits
int32_t parse_int32(const ArgParser &args, const std::string &text) {
  const char *s = text.c_str();
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX ||
      std::isspace(static_cast<unsigned char>(text[0]))) {
    args.fail("option '--" + args.name() + "' needs a whole number, not '" + text + "'");
  }
  return static_cast<int32_t>(v);
}

// parse_positive - a whole number from 1 to max
int parse_positive(const ArgParser &args, const std::string &text, int max) {
  int32_t v = parse_int32(args, text);
  if (v < 1 || v > max) {
    args.fail("option '--" + args.name() + "' needs a number from 1 to " + std::to_string(max) +
              ", not '" + text + "'");
  }
  return v;
}

// HostArgs::take - one of the host options, when the current option is one
bool HostArgs::take(ArgParser &args) {
  const std::string &n = args.name();
  if (n == "config") {
    config = args.value();
  } else if (n == "load-point") {
    load_point = args.value();
  } else if (n == "threshold") {
    threshold = parse_int32(args, args.value());
  } else if (n == "module") {
    module = args.value();
  } else if (n == "log") {
    log = args.value();
  } else if (n == "log-level") {
    log_level = args.value();
  } else {
    return false;
  }
  return true;
}

// HostArgs::finish - defaults and checks after the last word
void HostArgs::finish(const ArgParser &args) {
  if (config.empty() && !load_point.empty()) {
    config = (std::filesystem::path(load_point) / "server.xml").string();
  } else if (config.empty()) {
    config = default_config_path();
  }
  if (log.empty()) args.fail("option '--log' needs a destination");
  int32_t level = 0;
  if (hdrw_host_log_level(log_level.c_str(), &level) != 0) {
    args.fail("unknown log level '" + log_level + "'");
  }
}

// HostArgs::resolve - absolute paths, the default module, and the log settings
void HostArgs::resolve() {
  config = absolute_path(config);
  load_point = load_point.empty() ? directory_of(config) : absolute_path(load_point);
  module = module.empty() ? default_module_path() : absolute_path(module);
  if (log != "stderr" && log.compare(0, 6, "syslog") != 0) log = absolute_path(log);
  int32_t level = 0;
  hdrw_host_log_level(log_level.c_str(), &level);
  // A log file that cannot be opened is said on standard error, and the
  // records go there instead.
  uint32_t rc = hdrw_host_configure_log(log.c_str(), level);
  if (rc == 0) return;
  if (rc != TVR_UNABLE_TO_OPEN_FILE) throw Failure("cannot apply the log settings: " + code_text(rc));
  int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  std::string why = fd < 0 ? errno_text(errno) : "unusable";
  if (fd >= 0) ::close(fd);
  std::fprintf(stderr, "hdrweights: cannot open the log file %s: %s; log records go to standard error\n",
               printable(log).c_str(), why.c_str());
  if (hdrw_host_configure_log("stderr", level) != 0) throw Failure("cannot apply the log settings");
}

std::string errno_text(int err) { return std::strerror(err); }

// printable - escapes what could break or forge a line of text output
std::string printable(const std::string &text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

// catalog_text - the catalog's text (argument places shown as "..."), or the
// text of a code that is only returned
std::string catalog_text(uint32_t code) {
  const char *returned = tvr_returned_text(code);
  if (returned != nullptr) return returned;
  char text[HDRW_HOST_ERROR_TEXT];
  hdrw_host_error_text(code, text, sizeof text);
  return text;
}

std::string code_text(uint32_t code) { return "[" + std::to_string(code) + "] " + catalog_text(code); }

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
  if (!link_target(path, target, err)) throw Failure(path + ": cannot follow the link: " + errno_text(err));
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
    if (!exists || create_err != EACCES) throw Failure(path + ": cannot create: " + errno_text(create_err));
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
