// The milter daemon under concurrent MTA connections while its rules are
// reloaded again and again (new rule files and broken ones): every verdict
// stays right, nothing is lost, and the daemon stops cleanly; its metrics are
// scraped all the while and add up at the end. CI runs this suite under
// ThreadSanitizer, which makes the daemon exit non-zero on a race.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "milter_harness.h"

namespace hdrw_test {
namespace {

constexpr int kConnections = 6;
constexpr int kMessages = 100;  // per connection

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// free_port - a loopback TCP port nobody listens on just now
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len);
  close(fd);
  return ntohs(address.sin_port);
}

// scrape - the whole answer to GET /metrics on a loopback port ("" when refused)
std::string scrape(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::string out;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, got);
    }
  }
  close(fd);
  return out;
}

TEST(MilterStress, ConnectionsInParallelWhileRulesReload) {
  MilterProcess milter;
  // A second valid rule file (one more comment line: another size, so the
  // module sees a change) and a broken one, swapped in by rename.
  const std::string examples = std::string(HDRW_SOURCE_DIR) + "/examples/";
  write_file(milter.dir.file("rules-b.txt"),
             read_file(examples + "rules.txt") + "# the other rule file\n");
  ASSERT_EQ(
      finish(spawn({HDRW_CLI_PATH, "rules", "encrypt", "--cert", milter.dir.file("client-cert.pem"),
                    "-o", milter.dir.file("kelv-b"), milter.dir.file("rules-b.txt")},
                   milter.dir.file("encrypt.log"))),
      0);
  const std::vector<std::string> versions = {read_file(milter.dir.file("kelv-b")),
                                             "not a rule file\n",
                                             read_file(milter.dir.file("kelv"))};
  const int port = free_port();
  ASSERT_TRUE(milter.start({"--metrics", "127.0.0.1:" + std::to_string(port), "--metrics-rules"}))
      << milter.output();
  std::atomic<bool> scraping{true};
  std::atomic<int> scrapes{0};
  std::thread scraper([&] {
    while (scraping) {
      if (scrape(port).find("hdrweights_messages_total") != std::string::npos) ++scrapes;
    }
  });

  std::vector<pid_t> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.push_back(spawn({"miltertest", "-D", "socket=" + milter.socket(), "-D",
                             "count=" + std::to_string(kMessages), "-D", "id=C" + std::to_string(c),
                             "-s", std::string(HDRW_SOURCE_DIR) + "/tests/milter/protocol.lua"},
                            milter.dir.file("client" + std::to_string(c) + ".log")));
  }
  // Reload while the clients run; each reload is awaited in the log.
  size_t reloads = 0;
  int status = 0;
  auto clients_done = [&] {
    for (pid_t &pid : clients)
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "client " << &pid - clients.data();
        pid = -1;
      }
    for (pid_t pid : clients)
      if (pid > 0) return false;
    return true;
  };
  while (!clients_done() || reloads < versions.size()) {
    const std::string &version = versions[reloads % versions.size()];
    write_file(milter.dir.file("kelv.new"), version);
    ASSERT_EQ(std::rename(milter.dir.file("kelv.new").c_str(), milter.dir.file("kelv").c_str()), 0);
    kill(milter.pid(), SIGUSR1);
    ++reloads;
    ASSERT_TRUE(wait_for([&] {
      return count_of(milter.log(), "hdrweights milter: reload (SIGUSR1)") == reloads;
    })) << milter.log();
  }
  scraping = false;
  scraper.join();
  const std::string last = scrape(port);
  const std::string half = std::to_string(kConnections * kMessages / 2);
  const size_t failed = (reloads + 1) / 3;  // every third version is broken
  for (const std::string &line :
       {"hdrweights_messages_total{result=\"spam\"} " + half + "\n",
        "hdrweights_messages_total{result=\"ham\"} " + half + "\n",
        "hdrweights_evaluation_seconds_count " + std::to_string(kConnections * kMessages) + "\n",
        "hdrweights_reloads_total{result=\"failed\"} " + std::to_string(failed) + "\n",
        "hdrweights_reloads_total{result=\"ok\"} " + std::to_string(reloads - failed) + "\n"}) {
    EXPECT_NE(last.find(line), std::string::npos) << line << last;
  }
  EXPECT_GT(scrapes, 0);
  EXPECT_EQ(milter.stop(), 0) << milter.output();
  std::string log = milter.log();
  EXPECT_EQ(count_of(log, "failed, code 1: the module could not be initialised"), failed) << log;
  EXPECT_NE(log.find("counters: messages=" + std::to_string(kConnections * kMessages) +
                     " spam=" + std::to_string(kConnections * kMessages / 2) + " ham=" +
                     std::to_string(kConnections * kMessages / 2) + " skipped=0 errors=0"),
            std::string::npos)
      << log;
  for (int c = 0; c < kConnections; ++c) {
    std::string out = read_file(milter.dir.file("client" + std::to_string(c) + ".log"));
    EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace hdrw_test
