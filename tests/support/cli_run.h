// cli_run - runs a command-line program as a separate process for a test
//
// run_program(program, dir, args, stdin_data, cwd) runs program with args,
// standard input from stdin_data, standard output and error captured through
// files in dir (a TempDir), in cwd when not empty. The result holds the exit
// status (-1 when the program did not exit normally or could not be run; the
// test then fails) and the two outputs. lines_of(text) cuts text into lines
// without their LF.
#ifndef TESTS_SUPPORT_CLI_RUN_H
#define TESTS_SUPPORT_CLI_RUN_H

#include <string>
#include <vector>

#include "test_support.h"

namespace hdrw_test {

struct CliRun {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out;
  std::string err;
};

CliRun run_program(const std::string &program, const TempDir &dir,
                   const std::vector<std::string> &args, const std::string &stdin_data = "",
                   const std::string &cwd = "");
std::vector<std::string> lines_of(const std::string &text);

}  // namespace hdrw_test

#endif
