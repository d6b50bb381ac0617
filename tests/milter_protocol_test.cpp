// The milter daemon through its socket: the protocol cases of
// tests/milter/protocol.lua spoken by miltertest, and how the command refuses
// what it cannot serve. (The sanitizer build runs the daemon under
// AddressSanitizer and UndefinedBehaviorSanitizer here.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "milter_harness.h"

namespace hdrw_test {
namespace {

class MilterProtocol : public ::testing::TestWithParam<bool> {};

TEST_P(MilterProtocol, ScriptCasesPassAndAreCounted) {
  MilterProcess milter(
      "<maxHeaderLength>200</maxHeaderLength><maxTotalHeadersLength>4000</maxTotalHeadersLength>");
  if (GetParam()) milter.use_tcp();  // over TCP the milter also answers DATA
  ASSERT_TRUE(milter.start({"--skip-authenticated", "--trusted-networks", "192.0.2.0/24",
                            "--pid-file", milter.dir.file("milter.pid")}))
      << milter.log() << milter.output();
  EXPECT_EQ(read_file(milter.dir.file("milter.pid")), std::to_string(milter.pid()) + "\n");
  EXPECT_EQ(run_miltertest("protocol.lua", milter.socket(), milter.dir.file("miltertest.log")), 0)
      << read_file(milter.dir.file("miltertest.log"));
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  std::string log = milter.log();
  // The last connection's abort and half message may or may not have been read
  // before miltertest hung up (see the script): aborted is 1 to 3.
  const std::string counters =
      "counters: messages=10 spam=3 ham=5 skipped=2 errors=0 rejected=0 tempfailed=0 held=0 discarded=0 aborted=";
  size_t at = log.find(counters);
  ASSERT_NE(at, std::string::npos) << log;
  char aborted = log[at + counters.size()];
  EXPECT_TRUE(aborted >= '1' && aborted <= '3') << log;
  EXPECT_NE(log.find("hdrweights milter: stopped"), std::string::npos);
  EXPECT_EQ(log.find("not under the daemon's control"), std::string::npos) << log;
  // The address as bound; loopback draws no warning.
  EXPECT_NE(log.find("started on " + milter.socket().substr(0, milter.socket().find('@')) +
                     (GetParam() ? "@127.0.0.1 (" : " (")),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("reachable from other hosts"), std::string::npos) << log;
  EXPECT_FALSE(file_exists(milter.dir.file("milter.sock")));
  EXPECT_FALSE(file_exists(milter.dir.file("milter.pid")));
}

TEST(MilterBlockLimit, ABlockLongerThanTheMilterKeepsIsSpamUnread) {
  MilterProcess milter("<maxTotalHeadersLength>0</maxTotalHeadersLength>");  // no limit
  ASSERT_TRUE(milter.start()) << milter.output();
  EXPECT_EQ(run_miltertest("protocol.lua", milter.socket(), milter.dir.file("miltertest.log"),
                           {"filler=2600"}),  // 1.2 MB, then the subject
            0)
      << read_file(milter.dir.file("miltertest.log"));
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  EXPECT_NE(milter.log().find("more than the 1048576 the milter keeps; spam, not evaluated"),
            std::string::npos)
      << milter.log();
}

INSTANTIATE_TEST_SUITE_P(UnixAndTcp, MilterProtocol, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Tcp" : "Unix"; });

// stale_socket - a socket file nobody listens on, as a killed daemon leaves it
void stale_socket(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, (sockaddr *)&address, sizeof address), 0);
  close(fd);
}

TEST(MilterCommand, RefusesWhatItCannotServe) {
  struct Row {
    const char *name;
    std::function<void(MilterProcess &)> prepare;
    std::vector<std::string> args;
    int want_exit;
    const char *want_text;  // in standard error
  };
  const Row rows[] = {
      {"no socket", nullptr, {"--socket="}, 2, "no socket given"},
      {"unknown action",
       nullptr,
       {"--on-spam", "bounce"},
       2,
       "takes tag, reject, tempfail, hold or discard"},
      {"bad network",
       nullptr,
       {"--trusted-networks", "10.0.0.0/8, 10.0.0.0/33"},
       2,
       "not a network: '10.0.0.0/33'"},
      {"port out of range",
       nullptr,
       {"--socket", "inet:99999@127.0.0.1"},
       2,
       "'99999' is not a port"},
      {"port 0", nullptr, {"--socket", "inet:0"}, 2, "'0' is not a port"},
      {"text after the port",
       nullptr,
       {"--socket", "inet:25x@127.0.0.1"},
       2,
       "'25x' is not a port"},
      {"no host after @", nullptr, {"--socket", "inet6:10999@"}, 2, "no host after '@'"},
      {"unknown kind", nullptr, {"--socket", "tcp:25"}, 2, "takes unix:PATH, inet:PORT[@HOST]"},
      {"empty unix path", nullptr, {"--socket", "unix:"}, 2, "empty path after 'unix:'"},
      {"socket directory missing",
       nullptr,
       {"--socket", "unix:/nonexistent/dir/m.sock"},
       1,
       "/nonexistent/dir/m.sock: cannot open the socket: no such directory"},
      {"socket name too long",
       nullptr,
       {"--socket", "unix:/tmp/" + std::string(120, 'n')},
       1,
       "the name is too long for a socket (125 bytes, at most 107)"},
      {"threshold 0 with an action",
       nullptr,
       {"--threshold", "0", "--on-spam", "discard"},
       2,
       "'--threshold' 0 makes every message spam"},
      {"negative threshold with an action",
       nullptr,
       {"--threshold", "-5", "--on-spam", "reject"},
       2,
       "'--threshold' -5 makes every message spam"},
      {"reply with a line end",
       nullptr,
       {"--reply", "spam\r\n250 ok"},
       2,
       "printable ASCII characters only"},
      {"socket path is a file",
       [](MilterProcess &m) { write_file(m.dir.file("milter.sock"), "x"); },
       {},
       1,
       "exists and is not a socket"},
      {"configuration not XML",
       [](MilterProcess &m) { write_file(m.dir.file("server.xml"), "<server"); },
       {"--pid-file", "PID"},
       1,
       "code 21016: the configuration is not well-formed XML"},
      {"rule file not readable",
       [](MilterProcess &m) { write_file(m.dir.file("kelv"), "not base64 !!\n"); },
       {"--pid-file", "PID"},
       1,
       "the module could not be initialised"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    MilterProcess milter;
    if (row.prepare) row.prepare(milter);
    std::vector<std::string> args = row.args;
    for (std::string &a : args) a = a == "PID" ? milter.dir.file("milter.pid") : a;
    EXPECT_FALSE(milter.start(args));
    EXPECT_EQ(milter.early_exit(), row.want_exit);
    EXPECT_NE(milter.output().find(row.want_text), std::string::npos) << milter.output();
    // A failed start leaves neither its socket nor its pid file behind.
    EXPECT_FALSE(file_exists(milter.dir.file("milter.pid")));
    if (row.want_exit == 1 && std::string(row.name) != "socket path is a file") {
      EXPECT_FALSE(file_exists(milter.dir.file("milter.sock")));
    }
  }
}

TEST(MilterCommand, WarnsOfTrustedNetworksCoveringEveryClient) {
  for (const char *nets : {"10.0.0.0/8,0.0.0.0/0", "::/0"}) {
    SCOPED_TRACE(nets);
    MilterProcess milter;
    ASSERT_TRUE(milter.start({"--trusted-networks", nets, "--threshold", "0"})) << milter.output();
    EXPECT_EQ(milter.stop(), 0);
    EXPECT_NE(milter.log().find("WARNING"), std::string::npos) << milter.log();
    EXPECT_NE(milter.log().find(std::string("the trusted networks ") + nets +
                                " cover every client address"),
              std::string::npos)
        << milter.log();
    EXPECT_NE(milter.output().find(std::string("warning: --trusted-networks '") + nets +
                                   "' covers every client address"),
              std::string::npos)
        << milter.output();
  }
}

TEST(MilterCommand, ClearsAStaleSocketAndRefusesALiveOne) {
  MilterProcess first;
  stale_socket(first.dir.file("milter.sock"));
  ASSERT_TRUE(first.start()) << first.output();

  // A second daemon on the socket in use must not steal it.
  std::vector<std::string> argv = {HDRW_CLI_PATH, "milter",
                                   "--socket",    first.socket(),
                                   "--config",    first.dir.file("server.xml"),
                                   "--log",       first.dir.file("second.log")};
  EXPECT_EQ(finish(spawn(argv, first.dir.file("second.err"))), 1);
  EXPECT_NE(read_file(first.dir.file("second.err")).find("another process answers on this socket"),
            std::string::npos);
  EXPECT_TRUE(file_exists(first.dir.file("milter.sock")));
  EXPECT_EQ(first.stop(), 0) << first.output();
}

TEST(MilterCommand, RemovesOnlyTheSocketItMade) {
  MilterProcess milter;
  const std::string run = milter.dir.file("run");
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  // A file of the socket's name where the daemon changes to (the
  // configuration's directory) must survive its stop.
  write_file(milter.dir.file("rel.sock"), "unrelated");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(run.c_str()), 0);
  bool started = milter.start({"--socket", "unix:rel.sock"});
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(started) << milter.output();
  EXPECT_NE(milter.log().find("started on unix:" + run + "/rel.sock"), std::string::npos)
      << milter.log();
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  EXPECT_EQ(read_file(milter.dir.file("rel.sock")), "unrelated");
  EXPECT_FALSE(file_exists(run + "/rel.sock"));

  // A socket replaced while the daemon ran is not the daemon's any more.
  MilterProcess second;
  ASSERT_TRUE(second.start()) << second.output();
  const std::string sock = second.dir.file("milter.sock");
  // (A symbolic link to the moved socket, so that the stop still reaches it.)
  ASSERT_EQ(rename(sock.c_str(), (sock + ".moved").c_str()), 0);
  ASSERT_EQ(symlink((sock + ".moved").c_str(), sock.c_str()), 0);
  EXPECT_EQ(second.stop(), 0) << second.output();
  struct stat st;
  EXPECT_EQ(lstat(sock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(MilterCommand, RemovesItsFilesAfterDroppingToAUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
  struct Row {
    const char *name;
    mode_t config_mode;  // 0600: the user cannot read it, the start fails after the drop
  };
  for (const Row &row : {Row{"a stop", 0644}, Row{"a start failing as the user", 0600}}) {
    SCOPED_TRACE(row.name);
    MilterProcess milter;
    // The user may read the directory, not write it: only root removes there.
    ASSERT_EQ(chmod(milter.dir.path().c_str(), 0755), 0);
    for (const char *name : {"kelv", "client-cert.pem", "server.xml"})
      ASSERT_EQ(chmod(milter.dir.file(name).c_str(), 0644), 0);
    ASSERT_EQ(chmod(milter.dir.file("server.xml").c_str(), row.config_mode), 0);
    bool started = milter.start({"--user", "nobody", "--pid-file", milter.dir.file("milter.pid")});
    if (row.config_mode == 0644) {
      ASSERT_TRUE(started) << milter.output();
      EXPECT_EQ(milter.stop(), 0) << milter.output();
    } else {
      EXPECT_EQ(milter.early_exit(), 1);
      EXPECT_NE(milter.output().find("server.xml: Permission denied"), std::string::npos)
          << milter.output();
    }
    EXPECT_TRUE(wait_for([&] {
      return !file_exists(milter.dir.file("milter.sock")) &&
             !file_exists(milter.dir.file("milter.pid"));
    }));
  }
}

TEST(MilterStop, DoesNotWaitForAMessageTheMtaLeft) {
  MilterProcess milter;
  milter.use_tcp();
  ASSERT_TRUE(milter.start()) << milter.output();
  pid_t client = spawn({"miltertest", "-D", "socket=" + milter.socket(), "-D", "hold=300", "-D",
                        "held=" + milter.dir.file("held"), "-s",
                        std::string(HDRW_SOURCE_DIR) + "/tests/milter/protocol.lua"},
                       milter.dir.file("client.log"));
  ASSERT_TRUE(wait_for([&] { return file_exists(milter.dir.file("held")); }))
      << read_file(milter.dir.file("client.log"));
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  kill(client, SIGKILL);
  waitpid(client, nullptr, 0);
  std::string log = milter.log();
  EXPECT_NE(log.find("1 messages in flight without a word from the MTA for 2 seconds: not "
                     "waited for"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("hdrweights milter: stopped"), std::string::npos) << log;
}

// count_of - how often what occurs in text
size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// milter_connect - a connection to a unix socket; with negotiate, the MTA's
// first command (protocol 6, every action and step); true when it got the
// milter's answer, false when the milter closed it
bool milter_connect(const std::string &path, bool negotiate, int *fd) {
  *fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(*fd, (sockaddr *)&address, sizeof address) != 0) return false;
  if (!negotiate) return true;
  const unsigned char optneg[17] = {0, 0, 0, 13,   'O', 0,    0,    0,   6,
                                    0, 0, 1, 0xFF, 0,   0x1F, 0xFF, 0xFF};
  timeval timeout = {60, 0};
  setsockopt(*fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (write(*fd, optneg, sizeof optneg) != (ssize_t)sizeof optneg) return false;
  unsigned char head[5];
  return recv(*fd, head, sizeof head, MSG_WAITALL) == 5 && head[4] == 'O';
}

TEST(MilterConnections, CapBelowTheDescriptorLimitAndShortageLogged) {
  MilterProcess milter;
  milter.launcher = {"prlimit", "--nofile=160:160", "--"};  // a cap of 160 - 64 = 96
  ASSERT_TRUE(milter.start()) << milter.output();
  const std::string path = milter.dir.file("milter.sock");
  std::vector<int> fds;
  int admitted = 0;
  for (int k = 0; k < 110; ++k) {
    int fd;
    admitted += milter_connect(path, true, &fd);
    fds.push_back(fd);
  }
  EXPECT_EQ(admitted, 96);
  EXPECT_EQ(count_of(milter.log(), "the most the descriptor limit allows (96)"), 1u)
      << milter.log();
  for (int fd : fds) close(fd);
  fds.clear();

  // Connections that never negotiate take every descriptor: said once, and
  // once more when they are free again.
  for (int k = 0; k < 170; ++k) {
    int fd;
    milter_connect(path, false, &fd);
    fds.push_back(fd);
  }
  EXPECT_TRUE(wait_for([&] {
    return milter.log().find("descriptors in use: new MTA connections cannot be accepted") !=
           std::string::npos;
  })) << milter.log();
  for (int fd : fds) close(fd);
  EXPECT_TRUE(wait_for([&] {
    return milter.log().find("descriptors in use again") != std::string::npos;
  })) << milter.log();
  EXPECT_EQ(count_of(milter.log(), "new MTA connections cannot be accepted"), 1u);
  EXPECT_EQ(milter.stop(), 0) << milter.output();
}

// reload - SIGHUP, then the log once the reload's line is written
std::string reload(MilterProcess &milter) {
  size_t before = count_of(milter.log(), "reload (SIGHUP)");
  kill(milter.pid(), SIGHUP);
  EXPECT_TRUE(wait_for([&] { return count_of(milter.log(), "reload (SIGHUP)") > before; }));
  std::string log = milter.log();
  return log.substr(log.rfind("reload (SIGHUP)"));
}

TEST(MilterReload, RefusesWhatItCannotReadAndAStopWins) {
  struct Row {
    const char *name;
    std::function<void(const std::string &)> make;
    const char *want;
  };
  const Row rows[] = {
      {"a device", [](const std::string &p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); },
       "kelv: not a regular file"},
      {"a FIFO", [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       "kelv: not a regular file"},
      {"a 3 GB sparse file",
       [](const std::string &p) {
         write_file(p, "");
         ASSERT_EQ(truncate(p.c_str(), off_t{3} << 30), 0);
       },
       "kelv: larger than 64 MiB (3221225472 bytes)"},
  };
  MilterProcess milter;
  ASSERT_TRUE(milter.start()) << milter.output();
  const std::string kelv = milter.dir.file("kelv");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    unlink(kelv.c_str());
    row.make(kelv);
    std::string line = reload(milter);
    EXPECT_NE(line.find("failed, code 2: " + kelv.substr(0, kelv.size() - 4) + row.want),
              std::string::npos)
        << line;
  }
  // A stop while the module reads a long rule file: the stop goes ahead, and
  // no rules are put in service after it.
  unlink(kelv.c_str());
  std::string lines;
  for (int k = 0; k < 200000; ++k) lines += std::string(76, 'A') + "\n";
  write_file(kelv, lines);
  kill(milter.pid(), SIGHUP);
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  std::string log = milter.log();
  EXPECT_EQ(log.find("new rules in service", log.find("SIGTERM: stopping")), std::string::npos)
      << log;
  EXPECT_NE(log.find("hdrweights milter: stopped"), std::string::npos) << log;
}

TEST(MilterReload, TakesAChangedRuleFileOfTheSameSizeAndTime) {
  MilterProcess milter;
  const std::string examples = std::string(HDRW_SOURCE_DIR) + "/examples/";
  std::string rules = read_file(examples + "rules.txt");
  rules.replace(rules.find("0000001001060"), 13, "0000001001061");  // one weight changed
  write_file(milter.dir.file("rules-b.txt"), rules);
  ASSERT_EQ(
      finish(spawn({HDRW_CLI_PATH, "rules", "encrypt", "--cert", milter.dir.file("client-cert.pem"),
                    "-o", milter.dir.file("kelv-b"), milter.dir.file("rules-b.txt")},
                   milter.dir.file("encrypt.log"))),
      0);
  const std::string kelv = milter.dir.file("kelv");
  const std::string original = read_file(kelv), changed = read_file(milter.dir.file("kelv-b"));
  ASSERT_EQ(original.size(), changed.size());
  ASSERT_TRUE(milter.start()) << milter.output();
  struct stat st;
  ASSERT_EQ(stat(kelv.c_str(), &st), 0);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};

  // Rewritten in place, its time set back (or within the same second).
  write_file(kelv, changed);
  ASSERT_EQ(utimensat(AT_FDCWD, kelv.c_str(), times, 0), 0);
  EXPECT_NE(reload(milter).find("new rules in service"), std::string::npos) << milter.log();
  // Replaced by rename with the old file's time (mv after touch -r).
  write_file(kelv + ".new", original);
  ASSERT_EQ(utimensat(AT_FDCWD, (kelv + ".new").c_str(), times, 0), 0);
  ASSERT_EQ(rename((kelv + ".new").c_str(), kelv.c_str()), 0);
  EXPECT_NE(reload(milter).find("new rules in service"), std::string::npos) << milter.log();
  EXPECT_NE(reload(milter).find("configuration and rules unchanged"), std::string::npos)
      << milter.log();
  EXPECT_EQ(milter.stop(), 0) << milter.output();
}

}  // namespace
}  // namespace hdrw_test
