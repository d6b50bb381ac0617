// cli - what the parts of the hdrweights command share
//
// Subcommands are functions taking the words after their name and returning
// the exit status: 0 everything done, 1 a failure of the work (the module would
// not initialise, a message or file could not be read or written), 2 a usage
// error. They report a usage error by throwing UsageError (the dispatcher
// prints "hdrweights SUB: reason" and points to SUB --help, exit 2) and a
// failure of the work by throwing Failure (one line "hdrweights: reason",
// exit 1); both carry a one-line reason without the program name.
//
// ArgParser walks the words of one subcommand: long options "--name VALUE"
// or "--name=VALUE", the short forms the subcommand declares, "--" ending the
// options, and a lone "-" as an operand (standard input). Values are checked
// by the caller; parse_int32 reads a whole signed decimal number.
//
// File helpers: read_input("-" = standard input) reads a whole input of at
// most max bytes (kMaxInput unless told; a longer one, /dev/zero or an endless
// pipe is refused once max + 1 bytes are held). write_output("-" or empty =
// standard output) writes a whole output: a symbolic link is followed to its
// target; a device, FIFO or socket is written to directly; a regular file or
// a new path is written through a temporary beside it renamed at the end, so
// it appears complete or not at all, keeping an existing file's mode and owner
// (a file whose owner cannot be kept, or in a directory that refuses the
// temporary, is written in place); a new file gets mode 0666 less the umask,
// or 0600 when secret (decrypted rule text). absolute_path
// makes a path absolute against the current directory without resolving
// links, so the command can change directory and still find what the user
// named.
#ifndef TOOLS_CLI_H
#define TOOLS_CLI_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace hdrw_cli {

struct UsageError : std::runtime_error {
  UsageError(const std::string &command, const std::string &reason)
      : std::runtime_error(reason), command(command) {}
  std::string command;  // the subcommand words, e.g. "rules encrypt"
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ArgParser {
 public:
  // short_values: short options that take a value, each mapped to its long name,
  // e.g. {{'o', "output"}}.
  // command names the subcommand in usage errors ("rules encrypt").
  ArgParser(std::string command, const std::vector<std::string> &words,
            std::vector<std::pair<char, std::string>> short_values = {});

  // next() moves to the next word; false at the end. After it, is_option() tells
  // an option from an operand; name() is the long name without dashes ("help"
  // for -h), value() takes the option's value (the attached "=..." or the next
  // word; a missing one is a usage error).
  bool next();
  bool is_option() const { return option_; }
  const std::string &name() const { return name_; }
  const std::string &operand() const { return word_; }
  std::string value();
  // A flag option must not carry "=value".
  void no_value() const;
  [[noreturn]] void unknown() const;
  [[noreturn]] void fail(const std::string &reason) const;
  const std::string &command() const { return command_; }

 private:
  std::string command_;
  std::vector<std::string> words_;
  std::vector<std::pair<char, std::string>> short_values_;
  size_t pos_ = 0;
  bool options_done_ = false;
  bool option_ = false;
  bool has_inline_ = false;
  std::string word_;
  std::string name_;
  std::string inline_;
};

// HostArgs - the options every host subcommand takes: the configuration, the
// rule file's directory, the module, the threshold and the log settings.
// take(args) consumes the current option when it is one of them (false
// otherwise); finish(args) applies the defaults after the last word (the
// configuration defaults to server.xml in the load point, else
// default_config_path()) and checks them (usage errors); resolve() makes every
// path absolute, the load point defaulting to the configuration's directory
// and the module to default_module_path() (install_paths.h), and applies the
// log settings: a log file that cannot be opened is said on standard error and
// the records go there instead (Failure when no settings can be applied).
struct HostArgs {
  std::string config;
  std::string load_point;
  std::string module;
  std::string log = "stderr";
  std::string log_level;  // the subcommand's default, set before parsing
  int32_t threshold = 100;

  bool take(ArgParser &args);
  void finish(const ArgParser &args);
  void resolve();
};

// Whole decimal numbers of an option's value; anything else is a usage error
// of the parser's command naming the option.
int32_t parse_int32(const ArgParser &args, const std::string &text);
int parse_positive(const ArgParser &args, const std::string &text, int max);

constexpr size_t kMaxInput = size_t{64} << 20;  // bytes of a rule file or certificate read whole

std::string read_input(const std::string &path, size_t max = kMaxInput);
void write_output(const std::string &path, const std::string &data, bool secret = false);
std::string absolute_path(const std::string &path);
std::string directory_of(const std::string &path);  // "." for a bare file name
std::string errno_text(int err);
// printable(text) - text for a line of text output: a backslash, LF, CR, tab
// and every other control byte are escaped (\\, \n, \r, \t, \xHH), so a file
// name cannot end a line or forge another.
std::string printable(const std::string &text);
// catalog_text(code) - the text of a status code, for error lines: the
// catalog's (argument places shown as "..."), or the command's own for the
// codes the system returns without logging (configuration access, key
// derivation); "code N" for any other. code_text(code) is "[N] TEXT".
std::string catalog_text(uint32_t code);
std::string code_text(uint32_t code);

// The subcommands.
int cmd_scan(const std::vector<std::string> &args);
int cmd_rules(const std::vector<std::string> &args);
int cmd_key(const std::vector<std::string> &args);
int cmd_milter(const std::vector<std::string> &args);
int rules_stats(const std::vector<std::string> &args);
int rules_explain(const std::vector<std::string> &args);

}  // namespace hdrw_cli

#endif
