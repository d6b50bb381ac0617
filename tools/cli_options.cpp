// cli_options - the option walker, whole numbers and the host options
// (tested through the command in tests/cli_test.cpp)
#include "cli_options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "cli_files.h"
#include "cli_install_paths.h"
#include "cli_texts.h"
#include "hdrw_host.h"
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
bool PathLists::take(ArgParser &args) {
  if (!args.is_option()) {
    if (current_ == nullptr) {
      std::string names;
      for (size_t i = 0; i < lists_.size(); ++i) {
        names += (i == 0 ? "--" : i + 1 == lists_.size() ? " or --" : ", --") + lists_[i].first;
      }
      args.fail("'" + args.operand() + "' must follow " + names);
    }
    current_->push_back(args.operand());
    return true;
  }
  for (const auto &[name, list] : lists_) {
    if (args.name() == name) {
      current_ = list;
      current_->push_back(args.value());
      return true;
    }
  }
  return false;
}

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
  if (rc != TVR_UNABLE_TO_OPEN_FILE)
    throw Failure("cannot apply the log settings: " + code_text(rc));
  int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  std::string why = fd < 0 ? errno_text(errno) : "unusable";
  if (fd >= 0) ::close(fd);
  std::fprintf(stderr,
               "hdrweights: cannot open the log file %s: %s; log records go to standard error\n",
               printable(log).c_str(), why.c_str());
  if (hdrw_host_configure_log("stderr", level) != 0) throw Failure("cannot apply the log settings");
}

}  // namespace hdrw_cli
