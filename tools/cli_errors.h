// cli_errors - how the parts of the hdrweights command report a failure
//
// A subcommand reports a usage error by throwing UsageError (the dispatcher
// prints "hdrweights SUB: reason" and points to SUB --help, exit 2) and a
// failure of the work by throwing Failure (one line "hdrweights: reason",
// exit 1); both carry a one-line reason without the program name.
#ifndef TOOLS_CLI_ERRORS_H
#define TOOLS_CLI_ERRORS_H

#include <stdexcept>
#include <string>

namespace hdrw_cli {

struct UsageError : std::runtime_error {
  UsageError(const std::string &command, const std::string &reason)
      : std::runtime_error(reason), command(command) {}
  std::string command;  // the subcommand words, e.g. "rules encrypt"
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace hdrw_cli

#endif
