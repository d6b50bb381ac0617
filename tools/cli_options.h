// cli_options - the command's options: walking the words, numbers, and the
// options every host subcommand shares
//
// ArgParser walks the words of one subcommand: long options "--name VALUE"
// or "--name=VALUE", the short forms the subcommand declares, "--" ending the
// options, and a lone "-" as an operand (standard input). Values are checked
// by the caller; parse_int32 reads a whole signed decimal number and
// parse_positive one from 1 to a maximum. Every refusal is a UsageError of the
// parser's command (cli_errors.h).
//
// PathLists gathers options whose values run on over the following operands
// ("--spam a b --ham c"): take(args) consumes the current word when it is one
// of its options (its value and the operands after it go to that option's
// list) or an operand, and says whether it did; an operand before any of its
// options is a usage error naming them.
//
// HostArgs holds the options of the subcommands that run the module through
// the reference host (scan and milter): both parse and set up through it, so
// the two share one setup path. Its calls are described at the declaration.
// Nothing here keeps state beyond the objects; resolve() applies the
// process-wide log settings and so belongs to the main thread before any work
// starts.
#ifndef TOOLS_CLI_OPTIONS_H
#define TOOLS_CLI_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli_errors.h"

namespace hdrw_cli {

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
// and the module to default_module_path() (cli_install_paths.h), and applies the
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
class PathLists {
 public:
  // lists: each option's long name and the list its paths go to.
  explicit PathLists(std::vector<std::pair<std::string, std::vector<std::string> *>> lists)
      : lists_(std::move(lists)) {}
  bool take(ArgParser &args);

 private:
  std::vector<std::pair<std::string, std::vector<std::string> *>> lists_;
  std::vector<std::string> *current_ = nullptr;  // where operands go
};

int32_t parse_int32(const ArgParser &args, const std::string &text);
int parse_positive(const ArgParser &args, const std::string &text, int max);

}  // namespace hdrw_cli

#endif
