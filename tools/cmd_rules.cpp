// cmd_rules - "hdrweights rules encrypt|decrypt|check", the dispatch of the
// other rules subcommands, and "hdrweights key"
//
// The stored rule file is encryption type 2 (Base64 of the triple-DES
// container) keyed by the key text of the client certificate, the one the
// module derives. encrypt and decrypt refuse text that is no rule file (its
// first line is no version line), so a file encrypted twice, or decrypted with
// the wrong certificate, is never written. check runs every rule line through
// the loader's own per-line logic and lets the loader drop and count, so its
// report is what the module would load. (tested in tests/cli_test.cpp)
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "load_rules.h"
#include "regx.h"
#include "rule_source.h"
#include "rule_text.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tvr_messages.h"
#include "tvr_status.h"

namespace hdrw_cli {
namespace {

constexpr const char kRulesHelp[] =
    "usage: hdrweights rules encrypt --cert CERT [-o OUT] [PLAIN|-]\n"
    "       hdrweights rules decrypt --cert CERT [-o OUT] [KELV|-]\n"
    "       hdrweights rules check [--cert CERT] [--strict] FILE\n"
    "       hdrweights rules stats --spam PATH... --ham PATH... [options]\n"
    "       hdrweights rules explain [options] PATH...\n"
    "       hdrweights rules fit --spam PATH... --ham PATH... [options]\n"
    "       hdrweights rules import spamassassin [options] PATH...\n"
    "\n"
    "encrypt  stores a plain rule file as the module reads it (Base64 of a\n"
    "         triple-DES container keyed by the certificate's MD5 digest)\n"
    "decrypt  gives back the plain text of a stored rule file\n"
    "check    reports every bad rule line of a plain or (with --cert) stored\n"
    "         rule file and the counts the module would load\n"
    "stats    hits on spam and ham, cost and threshold curve of every rule\n"
    "explain  how one message is judged, rule line by rule line\n"
    "fit      weights fitted to spam and ham, with cross-validated figures\n"
    "import   SpamAssassin's header rules as a plain rule file\n"
    "\n"
    "See 'hdrweights rules SUBCOMMAND --help'.\n";

constexpr const char kEncryptHelp[] =
    "usage: hdrweights rules encrypt --cert CERT [-o OUT] [PLAIN|-]\n"
    "\n"
    "Encrypts the plain rule file PLAIN (default: standard input) for the server\n"
    "whose client certificate is CERT, writing the stored form (the module's\n"
    "kelv) to OUT (default: standard output). The plain text must begin with a\n"
    "version line. Inputs over 64 MiB and an empty certificate are refused.\n"
    "\n"
    "options:\n"
    "  --cert CERT      the client certificate file named by clientCert\n"
    "  -o, --output OUT the file to write: a file is replaced whole or not at\n"
    "                   all, keeping its mode and owner; a link is followed; a\n"
    "                   device or FIFO is written to\n"
    "  -h, --help       this text\n";

constexpr const char kDecryptHelp[] =
    "usage: hdrweights rules decrypt --cert CERT [-o OUT] [KELV|-]\n"
    "\n"
    "Decrypts the stored rule file KELV (default: standard input) with the key\n"
    "of the client certificate CERT and writes the plain rule text to OUT\n"
    "(default: standard output). Fails when the result is no rule file (wrong\n"
    "certificate, or not a stored rule file) or the file is damaged (shorter\n"
    "than its stated length).\n"
    "\n"
    "options:\n"
    "  --cert CERT      the client certificate file named by clientCert\n"
    "  -o, --output OUT the file to write, as for encrypt; a new file is made\n"
    "                   readable by its owner only\n"
    "  -h, --help       this text\n";

constexpr const char kCheckHelp[] =
    "usage: hdrweights rules check [--cert CERT] [--strict] FILE\n"
    "\n"
    "Reads the rule file FILE (plain, or stored encrypted when --cert names the\n"
    "client certificate) as the module loads it and prints every bad line as\n"
    "FILE:LINE: [CODE] TEXT, then the counts of rules and patterns that would\n"
    "be loaded. Bad lines are dropped by the module with the whole rule they\n"
    "belong to.\n"
    "\n"
    "options:\n"
    "  --cert CERT   the client certificate, for a stored (encrypted) file\n"
    "  --strict      stop at the first bad line, as a strict load does\n"
    "  -h, --help    this text\n"
    "\n"
    "Exit status: 0 the file is clean, 1 it has a bad line (the module loads\n"
    "the rest) or does not load, 2 usage error.\n";

constexpr const char kKeyHelp[] =
    "usage: hdrweights key CERT\n"
    "\n"
    "Prints the rule-file key text of the client certificate CERT: the MD5\n"
    "digest of the file's exact bytes as 32 upper-case hexadecimal digits.\n"
    "An empty file, one over 64 MiB or anything but a regular file is refused.\n";

std::string input_name(const std::string &path) { return path == "-" ? "standard input" : path; }

struct CryptJob {
  std::string output;  // "" = standard output
  std::string name;    // the input as named in messages
  std::string key;     // key text of the certificate
  std::string data;    // the whole input
};

// prepare_crypt - the options shared by encrypt and decrypt, the key and the
// input read; false after printing help for --help
bool prepare_crypt(const std::string &command, const char *help,
                   const std::vector<std::string> &words, CryptJob &job) {
  ArgParser args(command, words, {{'o', "output"}});
  std::string cert, input = "-";
  bool have_input = false;
  while (args.next()) {
    if (!args.is_option()) {
      if (have_input) args.fail("more than one input file given");
      input = args.operand();
      have_input = true;
    } else if (args.name() == "help") {
      std::cout << help;
      return false;
    } else if (args.name() == "cert") {
      cert = args.value();
    } else if (args.name() == "output") {
      job.output = args.value();
      if (job.output.empty()) args.fail("option '-o' needs a file name");
    } else {
      args.unknown();
    }
  }
  if (cert.empty()) args.fail("--cert CERT is required");
  job.key = certificate_key(cert);
  job.name = input_name(input);
  job.data = read_input(input);
  return true;
}

int cmd_rules_encrypt(const std::vector<std::string> &words) {
  CryptJob job;
  if (!prepare_crypt("rules encrypt", kEncryptHelp, words, job)) return 0;
  if (!is_rule_text(job.data)) {
    throw Failure(job.name +
                  ": not a plain rule file: the first line must be a version line such as "
                  "\"# version 04/18/2001/002\" ended by LF");
  }
  write_output(job.output, encrypt_rule_text(job.data, job.key, job.name));
  return 0;
}

int cmd_rules_decrypt(const std::vector<std::string> &words) {
  CryptJob job;
  if (!prepare_crypt("rules decrypt", kDecryptHelp, words, job)) return 0;
  std::string plain;
  if (!decrypt_rule_text(job.data, job.key, plain)) {
    throw Failure(job.name + ": cannot decrypt: not a stored rule file");
  }
  if (!is_rule_text(plain)) {
    throw Failure(
        job.name +
        ": the decrypted text is no rule file: wrong certificate, or not a stored rule file");
  }
  write_output(job.output, plain, true);
  return 0;
}

// bad_line_text - the catalog text of a failed check, with the arguments the
// loader logs for a bad pattern
std::string bad_line_text(const RuleLineCheck &check, const RuleLine *line, const char *text) {
  if (check.code != TVR_RULE_BAD_REGEX) return catalog_text(check.code);
  char error[256];
  regx_error(static_cast<int>(check.regx_result), nullptr, error, sizeof error);
  const char *format = tvr_message_text(TVR_RULE_BAD_REGEX);
  if (format == nullptr) format = "Bad regular expression: %s: %s: %u.";
  int len = tlvpr_snprintf(nullptr, 0, format, error, text + check.pattern_offset,
                           static_cast<unsigned>(line->rule_id));
  std::string out(static_cast<size_t>(len > 0 ? len : 0) + 1, '\0');
  tlvpr_snprintf(out.data(), out.size(), format, error, text + check.pattern_offset,
                 static_cast<unsigned>(line->rule_id));
  out.resize(out.size() - 1);
  return out;
}

int cmd_rules_check(const std::vector<std::string> &words) {
  ArgParser args("rules check", words);
  std::string cert, file;
  bool strict = false, have_file = false;
  while (args.next()) {
    if (!args.is_option()) {
      if (have_file) args.fail("more than one rule file given");
      file = args.operand();
      have_file = true;
    } else if (args.name() == "help") {
      std::cout << kCheckHelp;
      return 0;
    } else if (args.name() == "cert") {
      cert = args.value();
    } else if (args.name() == "strict") {
      args.no_value();
      strict = true;
    } else {
      args.unknown();
    }
  }
  if (!have_file) args.fail("no rule file given");

  std::string name = input_name(file);
  // A certificate given is checked even when the file turns out to be plain.
  std::string key = cert.empty() ? std::string() : certificate_key(cert);
  std::string text = read_input(file);
  if (!is_rule_text(text) && !cert.empty()) {
    std::string plain;
    if (!decrypt_rule_text(text, key, plain)) {
      throw Failure(name +
                    ": not a plain rule file, and it cannot be decrypted: not a stored rule file");
    }
    text = std::move(plain);
  }

  bool has_lf = false;
  std::string version_line = first_line(text, has_lf);
  int32_t version = rulebase_version_of(version_line.c_str());
  if (!has_lf || version == 0) {
    uint32_t code = !has_lf ? TVR_RULES_VERSION_NO_LF : TVR_RULES_BAD_VERSION;
    std::string hint;
    if (cert.empty())
      hint = " (a stored rule file needs --cert)";
    else if (!text.empty() && version_line.back() == '\r')
      hint = " (CR LF line ends)";
    std::printf("%s:1: [%u] %s%s\n", name.c_str(), code, catalog_text(code).c_str(), hint.c_str());
    std::printf("%s: the rule file does not load\n", name.c_str());
    return 1;
  }

  if (regx_init() != 0) throw Failure("the regular expression engine cannot start");
  std::unique_ptr<RuleBase, RuleBaseFree> base(
      static_cast<RuleBase *>(tlvpr_calloc(1, sizeof(RuleBase))));
  if (!base) throw Failure("out of memory");
  base->format_version = version;

  size_t bad = 0;
  bool stopped = false;
  const size_t rule_lines = build_rule_lines(
      text, version, base.get(), name,
      [&](RuleLine *line, const RuleLineCheck &check, size_t number, const std::string &line_text) {
        if (check.code == 0) return true;
        ++bad;
        std::printf("%s:%zu: [%u] %s\n", name.c_str(), number, check.code,
                    bad_line_text(check, line, line_text.c_str()).c_str());
        stopped = strict;
        return !strict;
      });
  if (stopped) {
    std::printf("%s: stopped at the first bad line (--strict): the rule file does not load\n",
                name.c_str());
    return 1;
  }

  // What the loader keeps: bad lines go with every adjacent line of their rule ID.
  uint32_t before = 0, rules = 0, patterns = 0;
  rulebase_count(base.get(), &rules, &before);
  rules = 0;
  rulebase_drop_invalid(base.get());
  rulebase_count(base.get(), &rules, &patterns);
  std::printf("%s: %zu rule lines, %zu bad, %u dropped; Rules loaded = %u, regexs loaded = %u.\n",
              name.c_str(), rule_lines, bad, before - patterns, rules, patterns);
  return bad == 0 ? 0 : 1;
}

}  // namespace

int cmd_rules(const std::vector<std::string> &words) {
  if (words.empty())
    throw UsageError("rules",
                     "no subcommand given (encrypt, decrypt, check, stats, explain, fit or "
                     "import)");
  const std::string &sub = words[0];
  std::vector<std::string> rest(words.begin() + 1, words.end());
  if (sub == "encrypt") return cmd_rules_encrypt(rest);
  if (sub == "decrypt") return cmd_rules_decrypt(rest);
  if (sub == "check") return cmd_rules_check(rest);
  if (sub == "stats") return cmd_rules_stats(rest);
  if (sub == "explain") return cmd_rules_explain(rest);
  if (sub == "fit") return cmd_rules_fit(rest);
  if (sub == "import") return cmd_rules_import(rest);
  if (sub == "--help" || sub == "-h" || sub == "help") {
    std::cout << kRulesHelp;
    return 0;
  }
  throw UsageError("rules", "unknown subcommand '" + sub + "'");
}

int cmd_key(const std::vector<std::string> &words) {
  ArgParser args("key", words);
  std::string cert;
  bool have = false;
  while (args.next()) {
    if (!args.is_option()) {
      if (have) args.fail("more than one certificate given");
      cert = args.operand();
      have = true;
    } else if (args.name() == "help") {
      std::cout << kKeyHelp;
      return 0;
    } else {
      args.unknown();
    }
  }
  if (!have) args.fail("no certificate given");
  std::cout << certificate_key(cert) << '\n';
  return 0;
}

}  // namespace hdrw_cli
