// cli_run - a program run as a child process (see the header).
#include "cli_run.h"

#include <gtest/gtest.h>

#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hdrw_test {

CliRun run_program(const std::string &program, const TempDir &dir,
                   const std::vector<std::string> &args, const std::string &stdin_data,
                   const std::string &cwd) {
  std::string in_path = dir.file(".stdin"), out_path = dir.file(".stdout"),
              err_path = dir.file(".stderr");
  write_file(in_path, stdin_data);
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  CliRun r;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "cannot run " << program;
    return r;
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace hdrw_test
