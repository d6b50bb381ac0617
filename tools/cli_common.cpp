// cli_common - argument walking and whole-file input and output of the command
// (tested through the command in tests/cli_test.cpp)
#include "cli.h"

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
  if (hdrw_host_configure_log(log.c_str(), level) != 0) throw Failure("cannot apply the log settings");
}

std::string errno_text(int err) { return std::strerror(err); }

std::string catalog_text(uint32_t code) {
  const char *text = tvr_message_text(code);
  if (text != nullptr) return text;
  // File results of the key derivation, which the system returns but never logs.
  if (code == 10003) return "File open error.";
  if (code == 10011) return "File read error.";
  return "code " + std::to_string(code);
}

namespace {

// read_all - the rest of an open descriptor. size_hint presizes the buffer one
// byte beyond the expected size, so a read that comes back short has met the
// end and a file of the size its status gave costs a single read.
bool read_all(int fd, size_t size_hint, std::string &data, int &err) {
  data.resize(size_hint + 1);
  size_t len = 0;
  for (;;) {
    if (len == data.size()) data.resize(data.size() * 2 + 4096);
    size_t want = data.size() - len;
    ssize_t n = ::read(fd, data.data() + len, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      return false;
    }
    len += static_cast<size_t>(n);
    if (n == 0 || (size_hint > 0 && static_cast<size_t>(n) < want)) break;
  }
  data.resize(len);
  return true;
}

}  // namespace

// read_input - the whole content of a file, or of standard input for "-"
std::string read_input(const std::string &path) {
  std::string data;
  int err = 0;
  if (path == "-") {
    if (!read_all(STDIN_FILENO, 0, data, err)) throw Failure("standard input: read error: " + errno_text(err));
    return data;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure(path + ": cannot open: " + errno_text(errno));
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) err = errno;
  if (ok && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw Failure(path + ": is a directory");
  }
  if (ok) ok = read_all(fd, S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0, data, err);
  ::close(fd);
  if (!ok) throw Failure(path + ": read error: " + errno_text(err));
  return data;
}

// read_file_into - the content of a file into data, reusing data's room; for
// a regular file a read that comes back short of the block has met the end, so
// a message file costs an open, one read and a close
void read_file_into(const std::string &path, bool regular, std::string &data) {
  constexpr size_t kBlock = 64 * 1024;
  thread_local std::unique_ptr<char[]> block(new char[kBlock]);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure(path + ": cannot open: " + errno_text(errno));
  data.clear();
  int err = 0;
  for (;;) {
    ssize_t n = ::read(fd, block.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    data.append(block.get(), static_cast<size_t>(n));
    if (n == 0 || (regular && static_cast<size_t>(n) < kBlock)) break;
    // A file beyond one block (an mbox) gets its room at once.
    struct stat st {};
    if (data.size() == kBlock && regular && ::fstat(fd, &st) == 0 && st.st_size > 0) {
      data.reserve(static_cast<size_t>(st.st_size) + 1);
    }
  }
  ::close(fd);
  if (err == EISDIR) throw Failure(path + ": is a directory");
  if (err != 0) throw Failure(path + ": read error: " + errno_text(err));
}

// write_output - writes data to standard output, or to path through a
// temporary file in the same directory renamed over it at the end
void write_output(const std::string &path, const std::string &data) {
  if (path.empty() || path == "-") {
    std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
    std::cout.flush();
    if (!std::cout) throw Failure("standard output: write error");
    return;
  }
  std::string tmp = path + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) throw Failure(path + ": cannot create: " + errno_text(errno));
  // Owner-only while being written, then the mode a plain new file gets.
  size_t done = 0;
  int err = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (err == 0) {
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) err = errno;
  }
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    std::remove(tmp.c_str());
    throw Failure(path + ": cannot write: " + errno_text(err));
  }
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
