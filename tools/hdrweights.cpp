// hdrweights - the command's entry: dispatches to the subcommands and turns
// their errors into one line on standard error and the exit status
// (tested in tests/cli_test.cpp)
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

namespace {

constexpr const char kHelp[] =
    "usage: hdrweights COMMAND [options] [arguments]\n"
    "\n"
    "The reference host of the hdrweights header filter and its rule-file tools.\n"
    "\n"
    "commands:\n"
    "  scan            evaluate messages with the filter module, as a server does\n"
    "  rules encrypt   store a plain rule file encrypted for a certificate\n"
    "  rules decrypt   give back the plain text of a stored rule file\n"
    "  rules check     report the bad lines and the counts of a rule file\n"
    "  key             print the rule-file key text of a certificate\n"
    "  milter          run as a milter daemon for Postfix or Sendmail\n"
    "\n"
    "See 'hdrweights COMMAND --help'. Exit status: 0 done, 1 failure, 2 usage error.\n";

}  // namespace

int main(int argc, char **argv) {
  std::ios::sync_with_stdio(true);
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    std::fputs("hdrweights: no command given; see 'hdrweights --help'\n", stderr);
    return 2;
  }
  std::string command = words[0];
  std::vector<std::string> rest(words.begin() + 1, words.end());
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (command == "scan") return hdrw_cli::cmd_scan(rest);
    if (command == "rules") return hdrw_cli::cmd_rules(rest);
    if (command == "key") return hdrw_cli::cmd_key(rest);
    if (command == "milter") return hdrw_cli::cmd_milter(rest);
    std::fprintf(stderr, "hdrweights: unknown command '%s'; see 'hdrweights --help'\n",
                 command.c_str());
    return 2;
  } catch (const hdrw_cli::UsageError &e) {
    std::fprintf(stderr, "hdrweights %s: %s; see 'hdrweights %s --help'\n", e.command.c_str(),
                 e.what(), e.command.c_str());
    return 2;
  } catch (const hdrw_cli::Failure &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "hdrweights: %s\n", e.what());
    return 1;
  } catch (const std::exception &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "hdrweights: %s\n", e.what());
    return 1;
  }
}
