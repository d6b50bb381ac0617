// hdrweights - the command's entry: dispatches to the subcommands and turns
// their errors into one line on standard error and the exit status; answers
// --version with the project's version (HDRW_VERSION, from the build) and the
// version text of the module the command loads by default
// (tested in tests/cli_test.cpp)
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "cli_install_paths.h"
#include "hdrw_host.h"

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
    "  rules stats     hits, cost and threshold curve of every rule on a corpus\n"
    "  rules explain   how one message is judged, rule line by rule line\n"
    "  rules import    SpamAssassin's header rules as a plain rule file\n"
    "  key             print the rule-file key text of a certificate\n"
    "  milter          run as a milter daemon for Postfix or Sendmail\n"
    "\n"
    "See 'hdrweights COMMAND --help'. Exit status: 0 done, 1 failure, 2 usage error.\n"
    "'hdrweights --version' prints the version of the command and of its module.\n";

// quoted - text in double quotes, with quotes, backslashes and other bytes
// outside printable ASCII written as escapes
std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// print_version - "hdrweights VERSION", then the module's path and version text
int print_version() {
  std::printf("hdrweights %s\n", HDRW_VERSION);
  std::string module = hdrw_cli::default_module_path();
  char why[512] = "";
  HdrwPlugin *raw = nullptr;
  uint32_t rc = hdrw_plugin_load(module.c_str(), &raw, why, sizeof why);
  if (rc != 0) {
    throw hdrw_cli::Failure("cannot load the module " + module + ": " +
                            (why[0] ? why : hdrw_cli::catalog_text(rc)));
  }
  std::unique_ptr<HdrwPlugin, decltype(&hdrw_plugin_unload)> plugin(raw, &hdrw_plugin_unload);
  char text[256] = "";
  uint32_t size = sizeof text;
  rc = hdrw_plugin_version(plugin.get(), text, &size);
  if (rc != 0) {
    throw hdrw_cli::Failure("the module " + module +
                            " gives no version text: " + hdrw_cli::catalog_text(rc));
  }
  std::printf("module %s version %s\n", module.c_str(),
              quoted(std::string(text, strnlen(text, sizeof text))).c_str());
  return 0;
}

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
    if (command == "--version") {
      if (!rest.empty()) {
        std::fputs("hdrweights: '--version' takes no arguments; see 'hdrweights --help'\n", stderr);
        return 2;
      }
      return print_version();
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
