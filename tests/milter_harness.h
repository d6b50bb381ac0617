// milter_harness - a running "hdrweights milter" and miltertest, for the
// suites that talk to the daemon through its socket
//
// MilterProcess runs the command built beside the suite (HDRW_CLI_PATH) in the
// foreground on a unix socket in a fresh temporary directory, with the
// example rule file and a configuration there ("server.xml", limits given by
// the caller; the rule file and certificate are copies, so a suite may replace
// them), logging to "milter.log" (standard error to "stderr.log"). start()
// waits until the log shows the start line or the process ended (early_exit()
// then gives its exit status); stop() sends
// SIGTERM and gives the exit status (-1 when it had to be killed after the
// deadline). Every wait is bounded by kDeadline and polls a condition.
// run_miltertest(script, socket, defines) runs miltertest on a script of
// tests/milter/ and gives its exit status.
#ifndef TESTS_MILTER_HARNESS_H
#define TESTS_MILTER_HARNESS_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace hdrw_test {

constexpr std::chrono::seconds kDeadline{120};  // generous: a loaded 2-core machine, sanitizers

// wait_for - polls until done() or the deadline; false when the deadline passed
inline bool wait_for(const std::function<bool()> &done) {
  auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// spawn - starts argv with standard output and error appended to log_path
// A ThreadSanitizer build's child reads the daemon's suppressions (libmilter's
// own race, see tests/milter/tsan.supp); other builds ignore the variable.
inline pid_t spawn(const std::vector<std::string> &argv, const std::string &log_path) {
  pid_t pid = fork();
  if (pid == 0) {
    const char *tsan = getenv("TSAN_OPTIONS");
    std::string options = std::string(tsan != nullptr ? tsan : "") +
                          ":suppressions=" + HDRW_SOURCE_DIR + "/tests/milter/tsan.supp";
    setenv("TSAN_OPTIONS", options.c_str(), 1);
    FILE *log = fopen(log_path.c_str(), "a");
    if (log != nullptr) {
      dup2(fileno(log), 1);
      dup2(fileno(log), 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// finish - the exit status of a child (128 + signal when killed by one); -1 after
// the deadline (the child is then killed)
inline int finish(pid_t pid) {
  int status = 0;
  bool done = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class MilterProcess {
 public:
  explicit MilterProcess(const std::string &limits = "<maxHeaderLength>768</maxHeaderLength>") {
    const std::string examples = std::string(HDRW_SOURCE_DIR) + "/examples/";
    write_file(dir.file("client-cert.pem"), read_file(examples + "client-cert.pem"));
    write_file(dir.file("kelv"), read_file(examples + "kelv"));
    write_file(dir.file("server.xml"),
               "<?xml version=\"1.0\"?>\n<server><package name=\"serverPackage\"><clientCert>"
               "client-cert.pem</clientCert></package><modules><module name=\"hdrweights\">" +
                   limits + "</module></modules></server>\n");
  }
  ~MilterProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  MilterProcess(const MilterProcess &) = delete;
  MilterProcess &operator=(const MilterProcess &) = delete;

  // The socket: a unix socket in the directory, or inet:PORT@127.0.0.1 after use_tcp().
  std::string socket() const {
    return tcp_port_ > 0 ? "inet:" + std::to_string(tcp_port_) + "@127.0.0.1"
                         : "unix:" + dir.file("milter.sock");
  }
  // use_tcp - a TCP socket on a loopback port that was free a moment ago
  void use_tcp() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    bind(fd, (sockaddr *)&address, len);
    getsockname(fd, (sockaddr *)&address, &len);
    tcp_port_ = ntohs(address.sin_port);
    close(fd);
  }
  std::string log() const {
    return file_exists(dir.file("milter.log")) ? read_file(dir.file("milter.log")) : "";
  }
  std::string output() const {
    return file_exists(dir.file("stderr.log")) ? read_file(dir.file("stderr.log")) : "";
  }
  pid_t pid() const { return pid_; }
  int early_exit() const { return early_exit_; }  // exit status when start() saw the process end

  // start - runs the daemon (behind launcher, e.g. prlimit, when set); true once
  // its start line is logged
  bool start(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> argv = launcher;
    std::vector<std::string> command = {HDRW_CLI_PATH, "milter",
                                        "--socket",    socket(),
                                        "--config",    dir.file("server.xml"),
                                        "--log",       dir.file("milter.log")};
    argv.insert(argv.end(), command.begin(), command.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = spawn(argv, dir.file("stderr.log"));
    int status = 0;
    bool ended = false;
    wait_for([&] {
      ended = waitpid(pid_, &status, WNOHANG) == pid_;
      return ended || log().find("started on") != std::string::npos;
    });
    if (ended) {
      pid_ = -1;
      early_exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return !ended && log().find("started on") != std::string::npos;
  }

  // stop - SIGTERM, then the exit status
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int rc = finish(pid_);
    pid_ = -1;
    return rc;
  }

  TempDir dir;
  std::vector<std::string> launcher;  // words before the command; the daemon is exec'd by it

 private:
  pid_t pid_ = -1;
  int early_exit_ = -1;
  int tcp_port_ = 0;
};

inline int run_miltertest(const std::string &script, const std::string &socket,
                          const std::string &log_path,
                          const std::vector<std::string> &defines = {}) {
  std::vector<std::string> argv = {"miltertest", "-D", "socket=" + socket};
  for (const std::string &d : defines) argv.insert(argv.end(), {"-D", d});
  argv.insert(argv.end(), {"-s", std::string(HDRW_SOURCE_DIR) + "/tests/milter/" + script});
  return finish(spawn(argv, log_path));
}

}  // namespace hdrw_test

#endif
