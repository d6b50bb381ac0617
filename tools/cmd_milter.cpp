// cmd_milter - "hdrweights milter": reads the daemon's options and runs it
// (milter/hdrw_milter.h). Every path the user gave, a unix socket's too, is
// made absolute before the daemon changes directory. (tested in tests/milter_protocol_test.cpp)
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "hdrw_host.h"
#include "hdrw_milter.h"
#include "milter_check.h"
#include "milter_http.h"
#include "milter_nets.h"

namespace hdrw_cli {
namespace {

constexpr const char kMilterHelp[] =
    "usage: hdrweights milter --socket ADDRESS [options]\n"
    "       hdrweights milter --check ADDRESS\n"
    "\n"
    "Runs in the foreground as a milter daemon: Postfix (smtpd_milters) or\n"
    "Sendmail (INPUT_MAIL_FILTER) hands it every message, the filter module judges\n"
    "the header block, and the message gets the headers\n"
    "  X-Hdrweights-Status: Yes|No, score=S threshold=T   (or Skipped)\n"
    "  X-Hdrweights-Hits: ID:WEIGHT ...                    (when rules matched)\n"
    "Headers of these names arriving with a message are removed first.\n"
    "\n"
    "options:\n"
    "  --socket ADDRESS        where the MTA connects: unix:PATH (mode 0660, owned\n"
    "                          by --user) or inet:PORT@HOST (inet6: for IPv6;\n"
    "                          PORT 1 to 65535; without @HOST every interface);\n"
    "                          a stale unix socket is removed, one still in use\n"
    "                          is refused\n"
    "  --config FILE           server configuration (default: server.xml in the\n"
    "                          load-point directory, else in the current directory,\n"
    "                          else " HDRW_CONFIG_DIR
    "/server.xml)\n"
    "  --load-point DIR        directory holding the rule file kelv (default: the\n"
    "                          configuration's directory)\n"
    "  --threshold N           weight threshold of every message (default 100;\n"
    "                          1 or more unless --on-spam is tag)\n"
    "  --on-spam ACTION        tag (default: headers only), reject (550 5.7.1),\n"
    "                          tempfail (451 4.7.1), hold (quarantine), discard\n"
    "  --reply TEXT            text of the reject and tempfail replies (default\n"
    "                          \"Message rejected as spam\"; printable ASCII)\n"
    "  --skip-authenticated    pass messages of SMTP-authenticated senders without\n"
    "                          evaluation (X-Hdrweights-Status: Skipped)\n"
    "  --trusted-networks LIST the same for clients in LIST, CIDR[,CIDR...], IPv4\n"
    "                          and IPv6 (e.g. 192.0.2.0/24,2001:db8::/32)\n"
    "  --module PATH           the module library (default: libhdrweights.so\n"
    "                          beside this command)\n"
    "  --log DEST              log destination: stderr (default), syslog,\n"
    "                          syslog|FACILITY or a log file path\n"
    "  --log-level LEVEL       highest level logged: TVR_LOG_INFO (default),\n"
    "                          TVR_LOG_ERR, ..., TVR_LOG_DEBUG, or 0 to 7\n"
    "  --user USER             user to run as once the socket is open\n"
    "  --pid-file FILE         write the process id to FILE\n"
    "  --stats-interval SECS   log the counters every SECS seconds (level 6);\n"
    "                          they are always logged at exit\n"
    "  --metrics HOST:PORT     serve Prometheus metrics at http://HOST:PORT/metrics\n"
    "                          and a health check at /healthz (use a loopback\n"
    "                          address, e.g. 127.0.0.1:9702; off by default)\n"
    "  --metrics-rules         add a hit counter per rule ID to the metrics\n"
    "  --check ADDRESS         ask the milter on ADDRESS for a negotiation as an\n"
    "                          MTA would; exit 0 when it answers, 1 (with the\n"
    "                          reason) when not\n"
    "  -h, --help              this text\n"
    "\n"
    "Signals: reload with SIGHUP or SIGUSR1 (configuration and rule file read\n"
    "again; MTA connections stay open; if the new ones fail the previous rules\n"
    "keep serving). SIGTERM or SIGINT: stop accepting, let messages in flight\n"
    "finish (at most 10 seconds; not those the MTA left), exit 0.\n"
    "Exit status: 0 stopped by a signal, 1 could not start, 2 usage error.\n";

constexpr uint32_t kCheckTimeout = 10;  // seconds --check waits for each step

constexpr size_t kReplyMax = 980;  // longest reply text an MTA takes
constexpr int kMaxStatsInterval = 86400;

struct ActionName {
  const char *name;
  MilterAction action;
};

constexpr ActionName kActions[] = {{"tag", MILTER_TAG},
                                   {"reject", MILTER_REJECT},
                                   {"tempfail", MILTER_TEMPFAIL},
                                   {"hold", MILTER_HOLD},
                                   {"discard", MILTER_DISCARD}};

struct MilterArgs {
  HostArgs host;
  std::string socket;
  std::string reply = "Message rejected as spam";
  std::string trusted;
  std::string user;
  std::string pid_file;
  std::string metrics;
  std::string check;
  bool metrics_rules = false;
  MilterAction action = MILTER_TAG;
  bool skip_authenticated = false;
  uint32_t stats_interval = 0;
};

// parse_action - the --on-spam keyword
MilterAction parse_action(const ArgParser &args, const std::string &text) {
  for (const ActionName &entry : kActions) {
    if (text == entry.name) return entry.action;
  }
  args.fail("option '--on-spam' takes tag, reject, tempfail, hold or discard, not '" + text + "'");
}

// parse_socket - the --socket address, a unix socket's path made absolute
// The daemon changes into the configuration's directory; a relative path
// would name another file there at the stop.
std::string parse_socket(const ArgParser &args, const std::string &text) {
  size_t colon = text.find(':');
  std::string kind = colon == std::string::npos ? "" : text.substr(0, colon);
  if (kind.empty() || kind == "unix" || kind == "local") {
    std::string path = colon == std::string::npos ? text : text.substr(colon + 1);
    if (path.empty()) args.fail("option '--socket': empty path after '" + kind + ":'");
    return (kind.empty() ? "unix" : kind) + ":" + absolute_path(path);
  }
  if (kind != "inet" && kind != "inet6") {
    args.fail("option '--socket' takes unix:PATH, inet:PORT[@HOST] or inet6:PORT[@HOST], not '" +
              text + "'");
  }
  // The port is decimal, 1 to 65535, and nothing else: libmilter reads it
  // with atoi and would bind what a typo leaves (99999 wraps, 25x is 25).
  size_t at = text.find('@', colon);
  std::string port =
      text.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1);
  bool digits = !port.empty() && port.size() <= 5 &&
                port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(port) < 1 || std::stoul(port) > 65535) {
    args.fail("option '--socket': '" + port + "' is not a port (1 to 65535) in '" + text + "'");
  }
  if (at != std::string::npos && at + 1 == text.size()) {
    args.fail("option '--socket': no host after '@' in '" + text + "'");
  }
  return text;
}

MilterArgs parse_milter(const std::vector<std::string> &words, bool &help) {
  MilterArgs o;
  o.host.log_level = "TVR_LOG_INFO";
  ArgParser args("milter", words);
  help = false;
  while (args.next()) {
    if (!args.is_option()) args.fail("unexpected operand '" + args.operand() + "'");
    const std::string &n = args.name();
    if (n == "help") {
      help = true;
      return o;
    } else if (o.host.take(args)) {
      continue;
    } else if (n == "socket") {
      o.socket = args.value();
    } else if (n == "on-spam") {
      o.action = parse_action(args, args.value());
    } else if (n == "reply") {
      o.reply = args.value();
    } else if (n == "skip-authenticated") {
      args.no_value();
      o.skip_authenticated = true;
    } else if (n == "trusted-networks") {
      o.trusted = args.value();
    } else if (n == "user") {
      o.user = args.value();
    } else if (n == "pid-file") {
      o.pid_file = args.value();
    } else if (n == "metrics") {
      o.metrics = args.value();
      struct sockaddr_storage address;
      socklen_t length;
      if (milter_http_parse(o.metrics.c_str(), &address, &length) != 0) {
        args.fail("option '--metrics' takes HOST:PORT (e.g. 127.0.0.1:9702), not '" + o.metrics +
                  "'");
      }
    } else if (n == "metrics-rules") {
      args.no_value();
      o.metrics_rules = true;
    } else if (n == "check") {
      o.check = args.value();
    } else if (n == "stats-interval") {
      o.stats_interval =
          static_cast<uint32_t>(parse_positive(args, args.value(), kMaxStatsInterval));
    } else {
      args.unknown();
    }
  }
  if (!o.check.empty()) {
    if (!o.socket.empty()) args.fail("option '--check' takes the address to check, not --socket");
    return o;
  }
  if (o.metrics_rules && o.metrics.empty()) args.fail("option '--metrics-rules' needs --metrics");
  if (o.socket.empty()) args.fail("no socket given (--socket unix:PATH or inet:PORT@HOST)");
  o.socket = parse_socket(args, o.socket);
  if (o.reply.empty() || o.reply.size() > kReplyMax) {
    args.fail("option '--reply' needs a text of 1 to " + std::to_string(kReplyMax) + " characters");
  }
  for (char c : o.reply) {
    if (c < 0x20 || c > 0x7E) args.fail("option '--reply' takes printable ASCII characters only");
  }
  if (!o.trusted.empty()) {
    MilterNets *nets = nullptr;
    char bad[128];
    if (milter_nets_parse(o.trusted.c_str(), &nets, bad, sizeof bad) != 0) {
      args.fail("option '--trusted-networks': not a network: '" + std::string(bad) + "'");
    }
    if (milter_nets_everything(nets)) {
      // Said once on standard error when the log goes elsewhere; the daemon logs it too.
      if (o.host.log != "stderr")
        std::cerr << "hdrweights: warning: --trusted-networks '" << o.trusted
                  << "' covers every client address: no message is evaluated\n";
    }
    milter_nets_free(nets);
  }
  if (o.host.threshold <= 0 && o.action != MILTER_TAG) {
    // Every message weighs at least 0: each one would be spam and be acted on.
    args.fail("option '--threshold' " + std::to_string(o.host.threshold) +
              " makes every message spam; with --on-spam other than tag that would act on all "
              "mail (give a threshold of 1 or more)");
  }
  o.host.finish(args);
  return o;
}

}  // namespace

int cmd_milter(const std::vector<std::string> &words) {
  bool help = false;
  MilterArgs o = parse_milter(words, help);
  if (help) {
    std::cout << kMilterHelp;
    return 0;
  }
  if (!o.check.empty()) {
    char why[1024];
    if (milter_check(o.check.c_str(), kCheckTimeout, why, sizeof why) != 0) throw Failure(why);
    std::cout << o.check << ": the milter answers\n";
    return 0;
  }
  o.host.resolve();
  std::string pid_file = absolute_path(o.pid_file);

  HdrwMilterOptions options = {};
  options.socket = o.socket.c_str();
  options.config = o.host.config.c_str();
  options.load_point = o.host.load_point.c_str();
  options.module = o.host.module.c_str();
  options.threshold = o.host.threshold;
  options.action = o.action;
  options.reply = o.reply.c_str();
  options.skip_authenticated = o.skip_authenticated ? 1 : 0;
  options.trusted = o.trusted.empty() ? nullptr : o.trusted.c_str();
  options.user = o.user.empty() ? nullptr : o.user.c_str();
  options.pid_file = pid_file.empty() ? nullptr : pid_file.c_str();
  options.stats_interval = o.stats_interval;
  options.metrics = o.metrics.empty() ? nullptr : o.metrics.c_str();
  options.metrics_rules = o.metrics_rules ? 1 : 0;
  options.version = HDRW_VERSION;
  char why[1024];
  if (hdrw_milter_run(&options, why, sizeof why) != 0) throw Failure(why);
  return 0;
}

}  // namespace hdrw_cli
