// cmd_scan - "hdrweights scan": the reference host over message files
//
// The module is loaded and initialised once. With --jobs N above 1, N threads
// of the command's worker pool (cli_jobs.h) evaluate the inputs against the one
// instance while the main thread prints the results in input order as each
// completes; one job evaluates on the main thread. Either way the output does
// not depend on the number of jobs. Before the module
// initialises, the command changes into the configuration's directory: relative
// paths inside the configuration (the client certificate) resolve against the
// directory that holds it. Every path the user gave is made absolute first.
// (tested in tests/cli_test.cpp)
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli.h"
#include "cli_jobs.h"
#include "cli_json_text.h"
#include "cli_progress.h"
#include "hdrw_host.h"
#include "message_reader.h"
#include "message_source.h"
#include "regex_filter.h"
#include "tvr_status.h"

namespace hdrw_cli {
namespace {

constexpr const char kScanHelp[] =
    "usage: hdrweights scan [options] PATH...\n"
    "\n"
    "Loads the filter module as a mail server does and asks it for a verdict on\n"
    "every message. PATH is a message file, a directory (walked recursively; a\n"
    "Maildir gives its cur/ and new/ messages), an mbox file (each message is\n"
    "shown as PATH#N) or - for one message on standard input. The module sees the\n"
    "header block: everything up to and including the first empty line.\n"
    "\n"
    "options:\n"
    "  --config FILE       server configuration (default: server.xml in the\n"
    "                      load-point directory, else in the current directory,\n"
    "                      else " HDRW_CONFIG_DIR
    "/server.xml);\n"
    "                      relative paths inside it resolve against its directory\n"
    "  --load-point DIR    directory holding the rule file kelv (default: the\n"
    "                      configuration's directory)\n"
    "  --threshold N       weight threshold of every message (default 100)\n"
    "  --json              one JSON object per message instead of text\n"
    "  --jobs N            threads evaluating messages at once (default 1)\n"
    "  --module PATH       the module library (default: libhdrweights.so beside\n"
    "                      this command, else the installed one)\n"
    "  --log DEST          log destination: stderr (default), syslog,\n"
    "                      syslog|FACILITY or a log file path (one that cannot\n"
    "                      be opened is said, and records go to stderr)\n"
    "  --log-level LEVEL   highest level logged: TVR_LOG_ERR (default),\n"
    "                      TVR_LOG_WARNING, ..., TVR_LOG_DEBUG, or 0 to 7\n"
    "  -h, --help          this text\n"
    "\n"
    "Output: per message one line \"spam|ok SCORE PATH ID:WEIGHT...\", or with\n"
    "--json {\"path\": ..., \"verdict\": \"spam\"|null, \"score\": N, \"hits\": [...]}.\n"
    "Control characters in a path are shown escaped (\\n, \\t, \\xHH; \\\\ for a\n"
    "backslash). A message the module could not evaluate (for instance a header\n"
    "block whose last line has no LF) gives \"error - PATH REASON\", or in JSON\n"
    "\"verdict\": null, \"error\": REASON. Only the header block is read: a block\n"
    "longer than the module's maxTotalHeadersLength is judged spam from its first\n"
    "maxTotalHeadersLength + 1 bytes, the length its log record then shows; with\n"
    "no such limit a block over 16 MiB is an error. A maxBackTracks below 100\n"
    "makes rules with a repetition give up on ordinary header lines; the\n"
    "command warns about it. A summary goes to standard error. Exit status:\n"
    "0 every message evaluated, 1 the module could not be initialised or a\n"
    "message could not be read or evaluated, 2 usage error.\n";

constexpr int kMaxJobs = 256;

struct ScanOptions {
  HostArgs host;
  int jobs = 1;
  bool json = false;
  std::vector<std::string> paths;
};

struct MessageResult {
  std::string display;
  bool spam = false;
  int32_t score = 0;
  std::vector<HdrwHit> hits;
  std::string error;    // non-empty: the input could not be read (a line for standard error)
  std::string failure;  // non-empty: the message went unjudged; the reason of its error line
};

struct ItemResult {
  std::vector<MessageResult> messages;
};

using PluginPtr = std::unique_ptr<HdrwPlugin, decltype(&hdrw_plugin_unload)>;
using HostPtr = std::unique_ptr<HdrwHost, decltype(&hdrw_host_free)>;

ScanOptions parse_scan(const std::vector<std::string> &words, bool &help) {
  ScanOptions o;
  o.host.log_level = "TVR_LOG_ERR";
  ArgParser args("scan", words);
  help = false;
  while (args.next()) {
    if (!args.is_option()) {
      o.paths.push_back(args.operand());
      continue;
    }
    const std::string &n = args.name();
    if (n == "help") {
      help = true;
      return o;
    } else if (o.host.take(args)) {
      continue;
    } else if (n == "json") {
      args.no_value();
      o.json = true;
    } else if (n == "jobs") {
      o.jobs = parse_positive(args, args.value(), kMaxJobs);
    } else {
      args.unknown();
    }
  }
  if (o.paths.empty()) args.fail("no message path given");
  size_t stdin_count = 0;
  for (const auto &p : o.paths) stdin_count += p == "-";
  if (stdin_count > 1) args.fail("standard input (-) given more than once");
  o.host.finish(args);
  return o;
}

void format_result(std::string &out, const MessageResult &r, bool json) {
  if (json) {
    out += "{\"path\": ";
    append_json_string(out, r.display);
    out += r.spam ? ", \"verdict\": \"spam\"" : ", \"verdict\": null";
    if (!r.failure.empty()) {
      out += ", \"error\": ";
      append_json_string(out, r.failure);
    }
    out += ", \"score\": " + std::to_string(r.score) + ", \"hits\": [";
    for (size_t i = 0; i < r.hits.size(); ++i) {
      if (i > 0) out += ", ";
      out += "{\"rule\": " + std::to_string(static_cast<uint32_t>(r.hits[i].rule_id)) +
             ", \"weight\": " + std::to_string(r.hits[i].weight) + "}";
    }
    out += "]}\n";
    return;
  }
  if (!r.failure.empty()) {
    out += "error - " + printable(r.display) + " " + r.failure + "\n";
    return;
  }
  out += r.spam ? "spam " : "ok ";
  out += std::to_string(r.score);
  out += ' ';
  out += printable(r.display);
  for (const auto &h : r.hits) {
    out += ' ';
    out += std::to_string(static_cast<uint32_t>(h.rule_id));
    out += ':';
    out += std::to_string(h.weight);
  }
  out += '\n';
}

// The work shared by the threads of one scan.
struct Scan {
  const HdrwHost *host = nullptr;
  void *instance = nullptr;
  // Header bytes judged whole; a longer block is over the limit.
  HeaderLimit header_limit{0, false};
  std::vector<MessageInput> inputs;
  std::vector<ItemResult> results;
};

// A worker's own verdict and header buffer, kept from input to input.
struct WorkerState {
  HdrwVerdict verdict;
  HeaderBlock block;
  WorkerState() { hdrw_verdict_init(&verdict); }
  ~WorkerState() { hdrw_verdict_free(&verdict); }
  WorkerState(const WorkerState &) = delete;
  WorkerState &operator=(const WorkerState &) = delete;
};

// judge - one header block through the module
void judge(Scan &scan, const HeaderBlock &block, HdrwVerdict &verdict, MessageResult &r) {
  if (block.over_limit && scan.header_limit.ours) {
    r.failure = over_limit_reason(scan.header_limit);
    return;
  }
  // The module reads the header block only: it is the whole message it is given.
  uint32_t rc = hdrw_host_evaluate(scan.host, scan.instance, block.bytes.data(), block.bytes.size(),
                                   block.bytes.size(), &verdict);
  if (rc != 0) {
    r.error = printable(r.display) + ": cannot be evaluated: " + code_text(rc);
  } else if (verdict.error != 0) {
    r.failure = code_text(verdict.error);
  } else {
    r.spam = verdict.spam != 0;
    r.score = verdict.score;
    r.hits.assign(verdict.hits, verdict.hits + verdict.hit_count);
  }
}

// evaluate_item - reads one input and evaluates every message in it
void evaluate_item(Scan &scan, size_t index, HdrwVerdict &verdict, HeaderBlock &block,
                   ItemResult &out) {
  const MessageInput &in = scan.inputs[index];
  std::string why =
      read_header_blocks(in, scan.header_limit.bytes, block, [&](const HeaderBlock &b) {
        MessageResult r;
        r.display = b.number == 0 ? in.display : in.display + "#" + std::to_string(b.number);
        judge(scan, b, verdict, r);
        out.messages.push_back(std::move(r));
      });
  if (!why.empty()) {
    MessageResult r;
    r.display = in.display;
    r.error = why;
    out.messages.push_back(std::move(r));
  }
}

// evaluate_guarded - evaluate_item, with whatever it throws (no memory for a
// result) turned into a failure of that input: on a worker thread an escaping
// exception would end the process without a summary
void evaluate_guarded(Scan &scan, size_t index, HdrwVerdict &verdict, HeaderBlock &block,
                      ItemResult &out) {
  try {
    evaluate_item(scan, index, verdict, block, out);
  } catch (const std::exception &e) {
    MessageResult r;
    r.display = scan.inputs[index].display;
    r.error = printable(r.display) + ": cannot be evaluated: " + e.what();
    out.messages.push_back(std::move(r));
  }
}

}  // namespace

int cmd_scan(const std::vector<std::string> &words) {
  bool help = false;
  ScanOptions o = parse_scan(words, help);
  if (help) {
    std::cout << kScanHelp;
    return 0;
  }

  // Everything the user named, made absolute before changing directory.
  const std::string shown_config = o.host.config;
  o.host.resolve();
  const std::string &config = o.host.config;
  const std::string &load_point = o.host.load_point;
  const std::string &module = o.host.module;

  std::vector<std::string> problems;
  Scan scan;
  scan.inputs = collect_inputs(o.paths, problems);

  char why[512] = "";
  HdrwPlugin *plugin_raw = nullptr;
  uint32_t rc = hdrw_plugin_load(module.c_str(), &plugin_raw, why, sizeof why);
  if (rc != 0)
    throw Failure("cannot load the module: " + (why[0] ? why : module + ": " + code_text(rc)));
  PluginPtr plugin(plugin_raw, &hdrw_plugin_unload);

  HdrwHost *host_raw = nullptr;
  rc = hdrw_host_create(&host_raw, plugin.get(), load_point.c_str(), config.c_str(),
                        o.host.threshold);
  if (rc != 0) {
    std::string hint = rc == TVR_CONFIG_PARSE_ERROR
                           ? " (the parser's message is logged at --log-level debug)"
                           : "";
    throw Failure(printable(shown_config) + ": cannot read the configuration: " + code_text(rc) +
                  hint);
  }
  HostPtr host(host_raw, &hdrw_host_free);

  std::error_code ec;
  std::filesystem::current_path(directory_of(config), ec);
  if (ec)
    throw Failure(printable(directory_of(shown_config)) +
                  ": cannot change into it: " + ec.message());
  void *instance = hdrw_host_init(host.get(), nullptr);
  if (instance == nullptr) {
    throw Failure("the module could not be initialised with " + printable(shown_config) +
                  " and the rule file in " + printable(load_point) + " (its log records say why)");
  }
  HdrwLimits limits{};
  hdrw_host_limits(instance, &limits);
  if (limits.max_back_tracks < TLVMOD_FEWEST_USEFUL_BACKTRACKS) {
    std::fprintf(stderr,
                 "hdrweights: warning: maxBackTracks %u is below %d: rules with a repetition "
                 "give up on ordinary header lines and do not count\n",
                 static_cast<unsigned>(limits.max_back_tracks), TLVMOD_FEWEST_USEFUL_BACKTRACKS);
  }
  scan.header_limit = header_limit_for(limits.max_total_headers_length);

  scan.host = host.get();
  scan.instance = instance;
  scan.results.resize(scan.inputs.size());
  auto start = std::chrono::steady_clock::now();
  // One job evaluates on the main thread between the prints; more jobs are
  // threads of their own and the main thread only prints.
  std::vector<WorkerState> states(jobs_workers(scan.inputs.size(), o.jobs));

  // Print in input order as results complete.
  Progress progress(scan.inputs.size());
  size_t messages = 0, spam = 0, failed = problems.size();
  std::string out;
  for (const auto &p : problems) std::fprintf(stderr, "hdrweights: %s\n", p.c_str());
  run_in_order(
      scan.inputs.size(), o.jobs,
      [&](size_t i, size_t worker) {
        WorkerState &w = states[worker];
        evaluate_guarded(scan, i, w.verdict, w.block, scan.results[i]);
      },
      [&](size_t i) {
        std::vector<MessageResult> item = std::move(scan.results[i].messages);
        out.clear();
        for (const auto &r : item) {
          if (!r.error.empty()) {
            ++failed;
            progress.clear();
            std::fprintf(stderr, "hdrweights: %s\n", r.error.c_str());
            continue;
          }
          if (!r.failure.empty()) {
            ++failed;
            format_result(out, r, o.json);
            continue;
          }
          ++messages;
          spam += r.spam;
          format_result(out, r, o.json);
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        progress.update(i + 1, start);
      });
  states.clear();
  std::fflush(stdout);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.clear();

  hdrw_host_free_instance(host.get(), instance);
  print_summary(messages, spam, failed, secs);
  if (std::ferror(stdout)) throw Failure("standard output: write error");
  return failed == 0 ? 0 : 1;
}

}  // namespace hdrw_cli
