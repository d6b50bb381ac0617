// cli - what the subcommands of the hdrweights command share
//
// Subcommands are functions taking the words after their name and returning
// the exit status: 0 everything done, 1 a failure of the work (the module would
// not initialise, a message or file could not be read or written), 2 a usage
// error. They report failures with the exceptions of cli_errors.h, walk their
// words with cli_options.h, read and write files with cli_files.h and word
// their error lines with cli_texts.h; this header gathers those for them.
#ifndef TOOLS_CLI_H
#define TOOLS_CLI_H

#include <string>
#include <vector>

#include "cli_errors.h"
#include "cli_files.h"
#include "cli_options.h"
#include "cli_texts.h"

namespace hdrw_cli {

// The subcommands.
int cmd_scan(const std::vector<std::string> &args);
int cmd_rules(const std::vector<std::string> &args);
int cmd_key(const std::vector<std::string> &args);
int cmd_milter(const std::vector<std::string> &args);
int cmd_rules_stats(const std::vector<std::string> &args);
int cmd_rules_explain(const std::vector<std::string> &args);
int cmd_rules_fit(const std::vector<std::string> &args);
int cmd_rules_import(const std::vector<std::string> &args);

}  // namespace hdrw_cli

#endif
