// cli_test - the hdrweights command, run as a separate process in real
// temporary directories with the real module and real rule files. Encrypted
// fixtures come from container_fixture (OpenSSL directly); files the command
// encrypts are checked by decrypting them with OpenSSL here.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli_run.h"
#include "container_fixture.h"
#include "test_support.h"

namespace {

using hdrw_test::read_file;
using hdrw_test::TempDir;
using hdrw_test::write_file;

using hdrw_test::CliRun;
using hdrw_test::lines_of;

// run_cli - runs the command with args, feeding stdin_data, in directory cwd
CliRun run_cli(const TempDir &dir, const std::vector<std::string> &args,
               const std::string &stdin_data = "", const std::string &cwd = "") {
  return hdrw_test::run_program(HDRW_CLI_PATH, dir, args, stdin_data, cwd);
}

size_t count_lines(const std::string &text) { return lines_of(text).size(); }

// openssl_decrypt - the plain text of a stored rule file, decrypted with OpenSSL
std::string openssl_decrypt(const std::string &stored, const std::string &key_hex) {
  std::string b64;
  for (char c : stored) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=') b64 += c;
  }
  std::string raw(b64.size() / 4 * 3 + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw.data()),
                          reinterpret_cast<const unsigned char *>(b64.data()),
                          static_cast<int>(b64.size()));
  if (n < 4) return "<bad base64>";
  size_t pad =
      b64.size() >= 2 && b64[b64.size() - 2] == '=' ? 2 : !b64.empty() && b64.back() == '=';
  raw.resize(static_cast<size_t>(n) - pad);
  const unsigned char *r = reinterpret_cast<const unsigned char *>(raw.data());
  size_t len = (size_t{r[0]} << 24) | (size_t{r[1]} << 16) | (size_t{r[2]} << 8) | r[3];
  unsigned char key[16];
  for (int i = 0; i < 16; ++i)
    key[i] = static_cast<unsigned char>(std::stoi(key_hex.substr(2 * i, 2), nullptr, 16));
  unsigned char iv[8] = {0};
  std::string plain(raw.size(), '\0');
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int out1 = 0, out2 = 0;
  EVP_DecryptInit_ex(ctx, EVP_des_ede_cbc(), nullptr, key, iv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(plain.data()), &out1, r + 4,
                    static_cast<int>(raw.size() - 4));
  EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(plain.data()) + out1, &out2);
  EVP_CIPHER_CTX_free(ctx);
  plain.resize(std::min(len, static_cast<size_t>(out1 + out2)));
  return plain;
}

constexpr const char kRules[] =
    "# version 04/18/2001/002\n"
    "# small rule base for the command's tests\n"
    "0000000001060001&-^Subject:.*money\n"
    "0000000002050001&-^From:.*@spam\\.example\n"
    "0000000003-20001&-^X-Trusted: yes\n"
    "0000000004000005&+^Subject:.*\n"
    "0000000004030005&.^To:.*undisclosed\n";

constexpr const char kConfig[] =
    "<?xml version=\"1.0\"?>\n"
    "<server>\n"
    "  <package name=\"serverPackage\"><clientCert>cert.pem</clientCert></package>\n"
    "  <module name=\"hdrweights\"><maxBackTracks>25000</maxBackTracks></module>\n"
    "</server>\n";

// The messages of the scan fixture and the text line each must give.
struct Sample {
  const char *name;
  const char *content;
  const char *want;  // text output after "<verdict> <score> " and the path
};

const Sample kSamples[] = {
    {"a.eml", "From: seller@spam.example\nSubject: free money\n\nbody\n", "spam 110 @ 1:60 2:50"},
    {"b.eml", "From: friend@ok.example\nSubject: hello\n\nSubject: money in the body\n", "ok 0 @"},
    {"c.eml", "Subject: money\r\nX-Trusted: yes\r\n\r\nbody\r\n", "ok 40 @ 1:60 3:-20"},
    {"d.eml", "Subject: money\nTo: undisclosed-recipients:;\n\n", "ok 90 @ 1:60 4:30"},
    {"e.eml", "Subject: no body and no empty line\nFrom: x@spam.example\n", "ok 50 @ 2:50"},
};

class CliTest : public ::testing::Test {
 protected:
  // A load point with certificate, configuration and encrypted rules, and a
  // message directory with the samples.
  void SetUp() override {
    const std::string cert =
        "-----BEGIN CERTIFICATE-----\nMIIB test cert\n-----END CERTIFICATE-----\n";
    write_file(dir_.file("cert.pem"), cert);
    key_ = hdrw_test::fixture_key_from_cert(cert);
    hdrw_test::write_rule_file(dir_.file("kelv"), kRules, key_);
    write_file(dir_.file("server.xml"), kConfig);
    std::filesystem::create_directory(dir_.file("msgs"));
    for (const auto &s : kSamples) write_file(dir_.file("msgs/" + std::string(s.name)), s.content);
  }

  CliRun scan(std::vector<std::string> args, const std::string &stdin_data = "") {
    args.insert(args.begin(), {"scan", "--config", dir_.file("server.xml")});
    return run_cli(dir_, args, stdin_data);
  }

  // want_line - the expected text line of a sample under display path
  static std::string want_line(const Sample &s, const std::string &path) {
    std::string w = s.want;
    return w.replace(w.find('@'), 1, path);
  }

  TempDir dir_;
  std::string key_;
};

TEST_F(CliTest, UsageErrorsExitTwoWithOneLine) {
  struct Row {
    std::vector<std::string> args;
    const char *reason;
  };
  const Row rows[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"scan"}, "no message path given"},
      {{"scan", "--bogus", "x"}, "unknown option '--bogus'"},
      {{"scan", "--jobs", "0", "x"}, "option '--jobs' needs a number from 1 to"},
      {{"scan", "--jobs"}, "option '--jobs' needs a value"},
      {{"scan", "--threshold", "12x", "x"}, "option '--threshold' needs a whole number"},
      {{"scan", "--threshold=99999999999", "x"}, "needs a whole number"},
      {{"scan", "--json=yes", "x"}, "option '--json' takes no value"},
      {{"scan", "--log-level", "LOUD", "x"}, "unknown log level 'LOUD'"},
      {{"scan", "-", "-"}, "standard input (-) given more than once"},
      {{"rules"}, "no subcommand given"},
      {{"rules", "shred"}, "unknown subcommand 'shred'"},
      {{"rules", "encrypt", "plain.txt"}, "--cert CERT is required"},
      {{"rules", "decrypt", "--cert", "c", "a", "b"}, "more than one input file given"},
      {{"rules", "check"}, "no rule file given"},
      {{"rules", "check", "--strict=1", "f"}, "takes no value"},
      {{"key"}, "no certificate given"},
      {{"key", "-x"}, "unknown option '-x'"},
  };
  for (const auto &row : rows) {
    std::string joined;
    for (const auto &a : row.args) joined += a + " ";
    SCOPED_TRACE(joined);
    CliRun r = run_cli(dir_, row.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CliTest, HelpOnEveryCommand) {
  const std::vector<std::vector<std::string>> rows = {
      {"--help"},
      {"scan", "--help"},
      {"rules", "--help"},
      {"rules", "encrypt", "--help"},
      {"rules", "decrypt", "-h"},
      {"rules", "check", "--help"},
      {"key", "--help"},
  };
  for (const auto &args : rows) {
    SCOPED_TRACE(args.back() + " of " + args.front());
    CliRun r = run_cli(dir_, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: hdrweights", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CliTest, ScanTextOutputInInputOrder) {
  CliRun r = scan({dir_.file("msgs")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> want;
  for (const auto &s : kSamples) want.push_back(want_line(s, dir_.file("msgs/") + s.name));
  EXPECT_EQ(lines_of(r.out), want);
  // The summary: five messages, one of them spam.
  EXPECT_NE(r.err.find("5 messages, 1 spam"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("messages per second"), std::string::npos) << r.err;
}

TEST_F(CliTest, ScanJsonLines) {
  CliRun r =
      scan({"--json", dir_.file("msgs/a.eml"), dir_.file("msgs/b.eml"), dir_.file("msgs/c.eml")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> want = {
      "{\"path\": \"" + dir_.file("msgs/a.eml") +
          "\", \"verdict\": \"spam\", \"score\": 110, \"hits\": [{\"rule\": 1, \"weight\": 60}, "
          "{\"rule\": 2, \"weight\": 50}]}",
      "{\"path\": \"" + dir_.file("msgs/b.eml") +
          "\", \"verdict\": null, \"score\": 0, \"hits\": []}",
      "{\"path\": \"" + dir_.file("msgs/c.eml") +
          "\", \"verdict\": null, \"score\": 40, \"hits\": [{\"rule\": 1, \"weight\": 60}, "
          "{\"rule\": 3, \"weight\": -20}]}",
  };
  EXPECT_EQ(lines_of(r.out), want);
}

TEST_F(CliTest, JsonEscapesPaths) {
  std::string odd = dir_.file("q\"uo\\te\tname\x01\xff.eml");
  write_file(odd, kSamples[1].content);
  CliRun r = scan({"--json", odd});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("q\\\"uo\\\\te\\tname\\u0001\\u00ff.eml\""), std::string::npos) << r.out;
}

TEST_F(CliTest, ThresholdStopsAtFirstHitsAndRelativePathsStayAsGiven) {
  // CliRun from the message directory with a relative operand: the path is shown
  // as given although the command changes into the configuration's directory.
  CliRun r =
      run_cli(dir_, {"scan", "--config", dir_.file("server.xml"), "--threshold", "50", "a.eml"}, "",
              dir_.file("msgs"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "spam 60 a.eml 1:60\n");
}

TEST_F(CliTest, LoadPointAndModuleOptions) {
  TempDir other;
  std::filesystem::copy_file(dir_.file("kelv"), other.file("kelv"));
  std::filesystem::remove(dir_.file("kelv"));
  CliRun r = run_cli(dir_, {"scan", "--config", dir_.file("server.xml"), "--load-point",
                            other.path(), "--module", HDRW_MODULE_PATH, dir_.file("msgs/a.eml")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_line(kSamples[0], dir_.file("msgs/a.eml")) + "\n");
}

TEST_F(CliTest, ScanMaildirMboxAndStandardInput) {
  // Maildir: cur/ and new/ are read, tmp/ and the bookkeeping files are not;
  // a Maildir++ subfolder is walked too.
  std::string md = dir_.file("Maildir");
  for (const char *sub :
       {"", "/cur", "/new", "/tmp", "/.Lists", "/.Lists/cur", "/.Lists/new", "/.Lists/tmp"}) {
    std::filesystem::create_directory(md + sub);
  }
  write_file(md + "/cur/1700000000.M1P1.host:2,S", kSamples[0].content);
  write_file(md + "/new/1700000001.M2P1.host", kSamples[1].content);
  write_file(md + "/tmp/1700000002.M3P1.host", kSamples[0].content);
  write_file(md + "/dovecot-uidlist", "3 V1700000000 N4\n");
  write_file(md + "/.Lists/new/1700000003.M4P1.host", kSamples[3].content);
  // mbox: a "From " line inside a body (no empty line before it) and a quoted
  // ">From " line do not start messages.
  std::string mbox =
      "From seller@spam.example Mon Nov 16 09:00:00 2026\n"
      "From: seller@spam.example\nSubject: free money\n\nbody\nFrom the start\n>From here\n\n"
      "From friend@ok.example Mon Nov 16 10:00:00 2026\n"
      "From: friend@ok.example\nSubject: hello\n\nbye\n\n"
      "From x@y Mon Nov 16 11:00:00 2026\n"
      "Subject: money\nX-Trusted: yes\n";
  write_file(dir_.file("box.mbox"), mbox);

  CliRun r = scan({md, dir_.file("box.mbox"), "-"}, kSamples[3].content);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> want = {
      want_line(kSamples[0], md + "/cur/1700000000.M1P1.host:2,S"),
      want_line(kSamples[1], md + "/new/1700000001.M2P1.host"),
      want_line(kSamples[3], md + "/.Lists/new/1700000003.M4P1.host"),
      want_line(kSamples[0], dir_.file("box.mbox") + "#1"),
      want_line(kSamples[1], dir_.file("box.mbox") + "#2"),
      "ok 40 " + dir_.file("box.mbox") + "#3 1:60 3:-20",
      want_line(kSamples[3], "-"),
  };
  EXPECT_EQ(lines_of(r.out), want);
}

// Files around and beyond the command's 64 KiB read block are read whole: an
// mbox whose last message lies past the first block, and single messages of
// exactly one block and of several blocks.
TEST_F(CliTest, FilesBeyondOneReadBlockAreReadWhole) {
  std::string filler(1000, 'x');
  filler += '\n';
  std::string mbox;
  for (int i = 0; i < 100; ++i) {
    mbox += "From a@b Mon Nov 16 09:00:00 2026\n";
    mbox += i == 99 ? kSamples[0].content : kSamples[1].content;
    mbox += filler + "\n";
  }
  ASSERT_GT(mbox.size(), 64u * 1024);
  write_file(dir_.file("big.mbox"), mbox);
  std::string exact = kSamples[0].content;
  exact += std::string(64 * 1024 - exact.size(), 'y');
  write_file(dir_.file("exact.eml"), exact);
  std::string several = kSamples[3].content + std::string(300 * 1024, 'z');
  write_file(dir_.file("several.eml"), several);

  CliRun r = scan({dir_.file("big.mbox"), dir_.file("exact.eml"), dir_.file("several.eml")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> out = lines_of(r.out);
  ASSERT_EQ(out.size(), 102u);
  EXPECT_EQ(out[98], want_line(kSamples[1], dir_.file("big.mbox") + "#99"));
  EXPECT_EQ(out[99], want_line(kSamples[0], dir_.file("big.mbox") + "#100"));
  EXPECT_EQ(out[100], want_line(kSamples[0], dir_.file("exact.eml")));
  EXPECT_EQ(out[101], want_line(kSamples[3], dir_.file("several.eml")));
}

TEST_F(CliTest, JobsGiveTheSameOutputAsOneJob) {
  std::filesystem::create_directory(dir_.file("many"));
  for (int i = 0; i < 300; ++i) {
    const Sample &s = kSamples[i % 5];
    char name[32];
    std::snprintf(name, sizeof name, "many/%03d-%s", i, s.name);
    write_file(dir_.file(name), s.content);
  }
  CliRun one = scan({"--jobs", "1", dir_.file("many")});
  CliRun four = scan({"--jobs", "4", dir_.file("many")});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(four.status, 0) << four.err;
  EXPECT_EQ(count_lines(one.out), 300u);
  std::vector<std::string> a = lines_of(one.out), b = lines_of(four.out);
  EXPECT_EQ(a, b);  // printed in input order whatever the number of jobs
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

TEST_F(CliTest, UnreadableMessagesExitOneAndTheRestIsScanned) {
  CliRun r = scan({dir_.file("missing.eml"), dir_.file("msgs/a.eml")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, want_line(kSamples[0], dir_.file("msgs/a.eml")) + "\n");
  EXPECT_NE(r.err.find("hdrweights: " + dir_.file("missing.eml") + ": No such file or directory"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("1 messages, 1 spam, 1 failed"), std::string::npos) << r.err;
}

TEST_F(CliTest, ModuleThatCannotStartExitsOne) {
  struct Row {
    const char *what;
    std::vector<std::string> extra;
    std::string reason;
    bool alone = false;  // the reason is the only line: every code with its text, the
                         // module's path once, no parser output of libxml2
  };
  write_file(dir_.file("broken.xml"), "<server><package name=\"serverPackage\">");
  write_file(dir_.file("nocert.xml"), "<server/>");
  TempDir empty;
  const Row rows[] = {
      {"no rule file", {"--load-point", empty.path()}, "the module could not be initialised"},
      {"config without clientCert",
       {"--config", dir_.file("nocert.xml")},
       "could not be initialised"},
      {"malformed config",
       {"--config", dir_.file("broken.xml")},
       "cannot read the configuration: [21016] Config: There was an error in parsing the "
       "configuration file.",
       true},
      {"missing config",
       {"--config", dir_.file("none.xml")},
       "cannot read the configuration: [21020] Config: the configuration file is not readable or "
       "in existence",
       true},
      {"missing module",
       {"--module", dir_.file("libnone.so")},
       "hdrweights: cannot load the module: " + dir_.file("libnone.so") + ": cannot open",
       true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> args = {"scan", "--config", dir_.file("server.xml")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    args.push_back(dir_.file("msgs/a.eml"));
    CliRun r = run_cli(dir_, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> err = lines_of(r.err);
    ASSERT_FALSE(err.empty());
    EXPECT_NE(err.back().find(row.reason), std::string::npos) << r.err;
    if (row.alone) {
      EXPECT_EQ(err.size(), 1u) << r.err;
      EXPECT_EQ(err.back().find(dir_.path()), err.back().rfind(dir_.path())) << r.err;
    }
  }
}

TEST_F(CliTest, LogOptionsWriteTheModulesRecordsToAFile) {
  std::string log = dir_.file("logs/scan.log");
  std::filesystem::create_directory(dir_.file("logs"));
  CliRun r = scan({"--log", log, "--log-level", "TVR_LOG_INFO", dir_.file("msgs/a.eml")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text = read_file(log);
  // The loader's count record: 4 rules (the "&+" line is no rule of its own), 5 patterns.
  EXPECT_NE(text.find("[29029] Rules loaded = 4, regexs loaded = 5."), std::string::npos) << text;
}

TEST_F(CliTest, EncryptDecryptRoundTripAndOpenSslAgrees) {
  std::string plain = kRules;
  write_file(dir_.file("rules.txt"), plain);
  CliRun enc = run_cli(dir_, {"rules", "encrypt", "--cert", dir_.file("cert.pem"), "-o",
                              dir_.file("out.kelv"), dir_.file("rules.txt")});
  ASSERT_EQ(enc.status, 0) << enc.err;
  std::string stored = read_file(dir_.file("out.kelv"));
  EXPECT_EQ(openssl_decrypt(stored, key_), plain);
  EXPECT_EQ(stored.substr(stored.size() - 2), "\r\n");

  // Standard input to standard output, and back.
  CliRun enc2 = run_cli(dir_, {"rules", "encrypt", "--cert", dir_.file("cert.pem")}, plain);
  ASSERT_EQ(enc2.status, 0) << enc2.err;
  EXPECT_EQ(enc2.out, stored);
  CliRun dec = run_cli(dir_, {"rules", "decrypt", "--cert", dir_.file("cert.pem"), "-"}, stored);
  ASSERT_EQ(dec.status, 0) << dec.err;
  EXPECT_EQ(dec.out, plain);

  // A file stored by the independent fixture decrypts to its plain text.
  CliRun fix = run_cli(dir_, {"rules", "decrypt", "--cert", dir_.file("cert.pem"), "--output",
                              dir_.file("back.txt"), dir_.file("kelv")});
  ASSERT_EQ(fix.status, 0) << fix.err;
  EXPECT_EQ(read_file(dir_.file("back.txt")), plain);
}

TEST_F(CliTest, EncryptAndDecryptRefuseWhatIsNoRuleFile) {
  write_file(dir_.file("other.pem"), "another certificate\n");
  write_file(dir_.file("notes.txt"), "just some notes\n");
  struct Row {
    const char *what;
    std::vector<std::string> args;
    const char *reason;
  };
  const Row rows[] = {
      {"wrong certificate",
       {"rules", "decrypt", "--cert", dir_.file("other.pem"), "-o", dir_.file("out"),
        dir_.file("kelv")},
       "the decrypted text is no rule file"},
      {"plain text given to decrypt",
       {"rules", "decrypt", "--cert", dir_.file("cert.pem"), "-o", dir_.file("out"),
        dir_.file("notes.txt")},
       "not a stored rule file"},
      {"stored file given to encrypt",
       {"rules", "encrypt", "--cert", dir_.file("cert.pem"), "-o", dir_.file("out"),
        dir_.file("kelv")},
       "not a plain rule file"},
      {"missing certificate",
       {"rules", "encrypt", "--cert", dir_.file("none.pem"), "-o", dir_.file("out"),
        dir_.file("kelv")},
       "cannot read the certificate: No such file or directory"},
      {"missing input",
       {"rules", "encrypt", "--cert", dir_.file("cert.pem"), "-o", dir_.file("out"),
        dir_.file("none")},
       "cannot open"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    CliRun r = run_cli(dir_, row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    EXPECT_FALSE(hdrw_test::file_exists(dir_.file("out")));
  }
  // Nothing half-written is left beside the output either.
  for (const auto &name : hdrw_test::list_dir(dir_.path()))
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST_F(CliTest, CheckReportsEveryBadLineWithItsNumber) {
  const std::string text =
      "# version 04/18/2001/002\n"
      "0000000001010001&-^Subject:.*a\n"   // 2 valid
      "00000012\n"                         // 3 too short for the ID
      "0000000000010001&-^Subject:.*b\n"   // 4 ID 0
      "0000000005010002&-^Subject:.*c\n"   // 5 bad type
      "0000000006010001&+^Subject:.*d\n"   // 6 bad single-line conjunction
      "0000000007010005&-^Subject:.*e\n"   // 7 bad multi-line conjunction
      "0000000008010001&-\n"               // 8 no pattern
      " # short\n"                         // 9 not a comment, too short
      "0000000009000005&+^From:.*f\n"      // 10 valid, dropped with line 11
      "0000000009020005&.^Subject:.*(g\n"  // 11 bad pattern
      "\n"
      "0000000010-05001&-^To:.*h";  // 13 valid, no final LF
  write_file(dir_.file("bad.txt"), text);
  CliRun r = run_cli(dir_, {"rules", "check", dir_.file("bad.txt")});
  EXPECT_EQ(r.status, 1) << r.err;  // as a linter: only a clean file passes
  std::vector<std::string> out = lines_of(r.out);
  std::string f = dir_.file("bad.txt");
  std::vector<std::string> want = {
      f + ":3: [29007] Rule too short: rule ID.",
      f + ":4: [29008] Bad rule ID.",
      f + ":5: [29013] Bad rule type.",
      f + ":6: [29011] Bad conjunction on a single line rule.",
      f + ":7: [29012] Bad conjunction on a multi line rule.",
      f + ":8: [29014] Rule too short: no regex.",
      f + ":9: [29007] Rule too short: rule ID.",
      f + ":11: [29018] Bad regular expression: ",
      f + ": 11 rule lines, 8 bad, 9 dropped; Rules loaded = 2, regexs loaded = 2.",
  };
  ASSERT_EQ(out.size(), want.size()) << r.out;
  for (size_t i = 0; i < want.size(); ++i) {
    if (i == 7) {
      EXPECT_EQ(out[i].rfind(want[i], 0), 0u) << out[i];
      EXPECT_NE(out[i].find(": ^Subject:.*(g: 9."), std::string::npos) << out[i];
    } else {
      EXPECT_EQ(out[i], want[i]);
    }
  }

  CliRun strict = run_cli(dir_, {"rules", "check", "--strict", dir_.file("bad.txt")});
  EXPECT_EQ(strict.status, 1);
  ASSERT_EQ(count_lines(strict.out), 2u) << strict.out;
  EXPECT_EQ(lines_of(strict.out)[0], want[0]);
}

TEST_F(CliTest, CheckStoredFilesAndBadVersionLines) {
  CliRun stored =
      run_cli(dir_, {"rules", "check", "--cert", dir_.file("cert.pem"), dir_.file("kelv")});
  EXPECT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(stored.out,
            dir_.file("kelv") +
                ": 5 rule lines, 0 bad, 0 dropped; Rules loaded = 4, regexs loaded = 5.\n");

  CliRun nocert = run_cli(dir_, {"rules", "check", dir_.file("kelv")});
  EXPECT_EQ(nocert.status, 1);
  EXPECT_NE(
      nocert.out.find(
          ":1: [29005] Incorrect version string in rule file. (a stored rule file needs --cert)"),
      std::string::npos)
      << nocert.out;

  write_file(dir_.file("crlf.txt"),
             "# version 04/18/2001/002\r\n0000000001010001&-^Subject:.*a\r\n");
  write_file(dir_.file("nolf.txt"), "# version 04/18/2001/002");
  CliRun crlf = run_cli(dir_, {"rules", "check", dir_.file("crlf.txt")});
  EXPECT_EQ(crlf.status, 1);
  EXPECT_NE(crlf.out.find(":1: [29005]"), std::string::npos) << crlf.out;
  CliRun nolf = run_cli(dir_, {"rules", "check", dir_.file("nolf.txt")});
  EXPECT_EQ(nolf.status, 1);
  EXPECT_NE(nolf.out.find(":1: [29004] Incomplete last line of rule file on version string."),
            std::string::npos)
      << nolf.out;
}

TEST_F(CliTest, KeyMatchesMd5sumUpperCased) {
  for (const char *cert : {"cert.pem"}) {
    SCOPED_TRACE(cert);
    std::string cmd = "md5sum '" + dir_.file(cert) + "'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[64] = {0};
    ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
    pclose(p);
    std::string want(buf, 32);
    std::transform(want.begin(), want.end(), want.begin(), ::toupper);
    CliRun r = run_cli(dir_, {"key", dir_.file(cert)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want + "\n");
  }
  CliRun missing = run_cli(dir_, {"key", dir_.file("none.pem")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(count_lines(missing.err), 1u);
}

// Hostile message inputs: links that lead nowhere, blocks the module cannot
// evaluate, a name that would forge an output line, a header block without end
// and an endless device. Each is reported on its own line and everything else
// is scanned; memory stays bounded (only header blocks are held).
TEST_F(CliTest, HostileMessageInputsAreReportedAndTheRestIsScanned) {
  std::string m = dir_.file("hostile");
  std::filesystem::create_directory(m);
  write_file(m + "/good.eml", kSamples[0].content);
  std::filesystem::create_symlink("/nonexistent/x", m + "/dangling");
  std::filesystem::create_symlink("loop", m + "/loop");
  write_file(m + "/nolf.eml", "Subject: money");
  write_file(m + "/cr.eml", "Subject: money\rFrom: a@spam.example\r\r");
  write_file(m + "/x\nspam 999 forged 1001:999", kSamples[1].content);
  write_file(m + "/huge.eml", "Subject: money\n" + std::string(40000, 'a'));
  std::string md = dir_.file("Maildir");
  for (const char *sub : {"", "/cur", "/new", "/tmp"}) std::filesystem::create_directory(md + sub);
  std::filesystem::create_symlink(md + "/cur/gone", md + "/cur/1700000000.M1P1.host:2,S");
  write_file(md + "/new/1700000001.M2P1.host", kSamples[0].content);

  const std::string reason = "[10047] Illegal data. (the header block's last line has no LF)";
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json, two jobs" : "text");
    std::string log = dir_.file(json ? "json.log" : "text.log");
    std::vector<std::string> args = {"--log", log, "--log-level", "notice", m, md, "/dev/zero"};
    if (json) args.insert(args.begin(), {"--json", "--jobs", "2"});
    CliRun r = scan(args);
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> want;
    if (json) {
      auto obj = [](const std::string &path, const std::string &rest) {
        return "{\"path\": \"" + path + "\", \"verdict\": " + rest + "}";
      };
      const std::string failed = "null, \"error\": \"" + reason + "\", \"score\": 0, \"hits\": []";
      const std::string good =
          "\"spam\", \"score\": 110, \"hits\": [{\"rule\": 1, \"weight\": 60}, {\"rule\": 2, \"weight\": 50}]";
      const std::string unread = "\"spam\", \"score\": 0, \"hits\": []";
      want = {obj(m + "/cr.eml", failed),
              obj(m + "/good.eml", good),
              obj(m + "/huge.eml", unread),
              obj(m + "/nolf.eml", failed),
              obj(m + "/x\\nspam 999 forged 1001:999", "null, \"score\": 0, \"hits\": []"),
              obj(md + "/new/1700000001.M2P1.host", good),
              obj("/dev/zero", unread)};
    } else {
      want = {"error - " + m + "/cr.eml " + reason,
              want_line(kSamples[0], m + "/good.eml"),
              "spam 0 " + m + "/huge.eml",
              "error - " + m + "/nolf.eml " + reason,
              "ok 0 " + m + "/x\\nspam 999 forged 1001:999",
              want_line(kSamples[0], md + "/new/1700000001.M2P1.host"),
              "spam 0 /dev/zero"};
    }
    EXPECT_EQ(lines_of(r.out), want);
    EXPECT_NE(r.err.find("hdrweights: " + m +
                         "/dangling: cannot be followed: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("hdrweights: " + m +
                         "/loop: cannot be followed: Too many levels of symbolic links\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(
        r.err.find("hdrweights: " + md + "/cur/1700000000.M1P1.host:2,S: cannot be followed: "),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("hdrweights: 5 messages, 4 spam, 5 failed, "), std::string::npos) << r.err;
    // The over-long blocks were judged from their first maxTotalHeadersLength + 1 bytes.
    std::string text = read_file(log);
    std::string over = "headers length 32769 > max allowed 32768";
    size_t first = text.find(over);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(over, first + 1), std::string::npos) << text;
  }
}

// Settings that used to fail quietly: a log that cannot be opened, a
// maxBackTracks too small for rules to match, no header block limit at all.
TEST_F(CliTest, QuietSettingProblemsAreSaid) {
  write_file(dir_.file("few.xml"),
             "<server><package name=\"serverPackage\"><clientCert>cert.pem</clientCert></package>"
             "<module name=\"hdrweights\"><maxBackTracks>0</maxBackTracks>"
             "<maxTotalHeadersLength>0</maxTotalHeadersLength></module></server>");
  std::filesystem::create_directory(dir_.file("logdir"));
  struct Row {
    const char *what;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> err;  // texts standard error holds, in order
    std::string out;
  } rows[] = {
      {"log in a missing directory",
       {"--log", dir_.file("nodir/scan.log"), "--log-level", "info", dir_.file("msgs/a.eml")},
       0,
       {"hdrweights: cannot open the log file " + dir_.file("nodir/scan.log") +
            ": No such file or directory; log records go to standard error\n",
        "[29029] Rules loaded = 4, regexs loaded = 5."},
       want_line(kSamples[0], dir_.file("msgs/a.eml")) + "\n"},
      {"log that is a directory",
       {"--log", dir_.file("logdir"), dir_.file("msgs/a.eml")},
       0,
       {"hdrweights: cannot open the log file " + dir_.file("logdir") +
        ": Is a directory; log records go to standard error\n"},
       want_line(kSamples[0], dir_.file("msgs/a.eml")) + "\n"},
      {"maxBackTracks 0 and no block limit",
       {"--config", dir_.file("few.xml"), dir_.file("msgs/a.eml"), "/dev/zero"},
       1,
       {"(ERROR:",
        "[10092] Bad value for config setting \"//module[@name='hdrweights']/maxBackTracks\"",
        "hdrweights: warning: maxBackTracks 0 is below 100: rules with a repetition give up on ordinary "
        "header lines and do not count\n"},
       "ok 0 " + dir_.file("msgs/a.eml") + "\n" +
           "error - /dev/zero header block longer than 16777216 bytes, not evaluated\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    CliRun r = scan(row.args);
    EXPECT_EQ(r.status, row.status) << r.err;
    size_t at = 0;
    for (const std::string &piece : row.err) {
      at = r.err.find(piece, at);
      ASSERT_NE(at, std::string::npos) << piece << "\n" << r.err;
    }
    EXPECT_EQ(r.out, row.out);
  }
}

// The rule tools on hostile input: certificates that are no certificate,
// inputs without end, a damaged stored file, a pattern nested too deep, and
// output targets that must not be replaced by a regular file.
TEST_F(CliTest, RuleToolsRefuseHostileInputsAndKeepTheTargetNode) {
  write_file(dir_.file("rules.txt"), kRules);
  write_file(dir_.file("empty.pem"), "");
  const std::string cert = dir_.file("cert.pem");
  struct Row {
    const char *what;
    std::vector<std::string> args;
    std::string reason;
  };
  // Four Base64 characters lost to bytes outside the alphabet: the ciphertext
  // ends three bytes before its stated length.
  std::string damaged = read_file(dir_.file("kelv"));
  for (size_t at : {10, 20, 30, 40}) damaged[at] = '!';
  write_file(dir_.file("damaged.kelv"), damaged);
  {
    std::FILE *big = std::fopen(dir_.file("big.txt").c_str(), "w");
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(ftruncate(fileno(big), (64 << 20) + 1), 0);  // sparse: no disk used
    std::fclose(big);
  }
  const Row rows[] = {
      {"key of an empty file",
       {"key", dir_.file("empty.pem")},
       "not a certificate: the file is empty"},
      {"key of a directory", {"key", dir_.path()}, "not a certificate: not a regular file"},
      {"key of a huge file",
       {"key", dir_.file("big.txt")},
       "not a certificate: longer than 67108864 bytes"},
      {"encrypt for a device",
       {"rules", "encrypt", "--cert", "/dev/null", dir_.file("rules.txt")},
       "/dev/null: not a certificate: not a regular file"},
      {"check for an empty file",
       {"rules", "check", "--cert", dir_.file("empty.pem"), dir_.file("rules.txt")},
       "not a certificate: the file is empty"},
      {"check an endless device",
       {"rules", "check", "/dev/zero"},
       "/dev/zero: longer than 67108864 bytes; refused"},
      {"encrypt a huge file",
       {"rules", "encrypt", "--cert", cert, dir_.file("big.txt")},
       "big.txt: longer than 67108864 bytes; refused"},
      {"decrypt a damaged file",
       {"rules", "decrypt", "--cert", cert, dir_.file("damaged.kelv")},
       "damaged.kelv: cannot decrypt: not a stored rule file"},
      {"check a damaged file",
       {"rules", "check", "--cert", cert, dir_.file("damaged.kelv")},
       "cannot be decrypted"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    CliRun r = run_cli(dir_, row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
  }
  // The module refuses the damaged file too, where it used to load part of it.
  std::filesystem::copy_file(dir_.file("damaged.kelv"), dir_.file("kelv"),
                             std::filesystem::copy_options::overwrite_existing);
  CliRun damaged_scan = scan({dir_.file("msgs/a.eml")});
  EXPECT_EQ(damaged_scan.status, 1);
  EXPECT_NE(damaged_scan.err.find("[29026] Could not decrypt rule file."), std::string::npos)
      << damaged_scan.err;

  // One rule line nested 40 groups deep is a bad rule, not a server's memory.
  write_file(dir_.file("deep.txt"), std::string(kRules) + "0000000009010001&-" +
                                        std::string(40, '(') + "a" + std::string(40, ')') + "\n");
  CliRun deep = run_cli(dir_, {"rules", "check", dir_.file("deep.txt")});
  EXPECT_EQ(deep.status, 1);
  EXPECT_NE(deep.out.find("deep.txt:8: [29018] Bad regular expression: syntax error: (((("),
            std::string::npos)
      << deep.out;

  // Output targets. A symbolic link is followed; an existing file keeps its
  // mode and owner; a new decrypted text is its owner's only; a FIFO and a
  // device node are written to, never replaced.
  std::string plain_out = dir_.file("plain.out"), kept = dir_.file("kept.kelv"),
              link = dir_.file("link.kelv");
  write_file(kept, "old");
  ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(kept.c_str(), 65534, 65534), 0);
  }
  std::filesystem::create_symlink(kept, link);
  ASSERT_EQ(run_cli(dir_, {"rules", "encrypt", "--cert", cert, "-o", link, dir_.file("rules.txt")})
                .status,
            0);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(openssl_decrypt(read_file(kept), key_), kRules);
  ASSERT_EQ(run_cli(dir_, {"rules", "decrypt", "--cert", cert, "-o", plain_out, kept}).status, 0);
  ASSERT_EQ(stat(plain_out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(plain_out), kRules);

  std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = read_file(fifo); });
  CliRun to_fifo = run_cli(dir_, {"rules", "decrypt", "--cert", cert, "-o", fifo, kept});
  reader.join();
  EXPECT_EQ(to_fifo.status, 0) << to_fifo.err;
  EXPECT_EQ(got, kRules);
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  if (root) {
    std::string full = dir_.file("full");  // a private node of the /dev/full device
    ASSERT_EQ(mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);
    CliRun to_full =
        run_cli(dir_, {"rules", "encrypt", "--cert", cert, "-o", full, dir_.file("rules.txt")});
    EXPECT_EQ(to_full.status, 1);
    EXPECT_NE(to_full.err.find("full: cannot write: No space left on device"), std::string::npos)
        << to_full.err;
    ASSERT_EQ(lstat(full.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  for (const auto &name : hdrw_test::list_dir(dir_.path()))
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// The bundled example: its stored rules are its rule source, the one invalid
// line is reported, and the messages get the verdicts their names promise
// (01-12 and 25 legitimate, 13-24 spam).
TEST(CliExample, ExampleRulesAndMessages) {
  TempDir dir;
  const std::string ex = std::string(HDRW_SOURCE_DIR) + "/examples";
  CliRun dec = run_cli(dir, {"rules", "decrypt", "--cert", ex + "/client-cert.pem", ex + "/kelv"});
  ASSERT_EQ(dec.status, 0) << dec.err;
  EXPECT_EQ(dec.out, read_file(ex + "/rules.txt")) << "examples/kelv is not rules.txt encrypted";

  CliRun check = run_cli(dir, {"rules", "check", "rules.txt"}, "", ex);
  EXPECT_EQ(check.status, 1);  // the one bad line
  std::vector<std::string> lines = lines_of(read_file(ex + "/rules.txt"));
  size_t bad_line = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("0000001015", 0) == 0) bad_line = i + 1;
  }
  ASSERT_NE(bad_line, 0u);
  std::vector<std::string> out = lines_of(check.out);
  ASSERT_EQ(out.size(), 2u) << check.out;
  EXPECT_EQ(out[0].rfind(
                "rules.txt:" + std::to_string(bad_line) + ": [29018] Bad regular expression: ", 0),
            0u)
      << out[0];

  CliRun r = run_cli(dir, {"scan", "--config", ex + "/server.xml", ex + "/messages"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> verdicts = lines_of(r.out);
  ASSERT_GE(verdicts.size(), 25u);
  for (const auto &v : verdicts) {
    SCOPED_TRACE(v);
    size_t slash = v.find("/messages/");
    ASSERT_NE(slash, std::string::npos);
    int number = std::stoi(v.substr(slash + 10, 2));
    bool spam = number >= 13 && number <= 24;
    EXPECT_EQ(v.rfind(spam ? "spam " : "ok ", 0), 0u);
  }
}

// --version: the project's version, then the module the command loads by
// default (in a build tree the one beside it) and its version text, which is empty.
TEST(CliVersion, NamesTheVersionAndTheDefaultModule) {
  TempDir dir;
  CliRun r = run_cli(dir, {"--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string module = std::filesystem::canonical(HDRW_MODULE_PATH).string();
  EXPECT_EQ(r.out, "hdrweights " HDRW_VERSION "\nmodule " + module + " version \"\"\n");
  CliRun extra = run_cli(dir, {"--version", "scan"});
  EXPECT_EQ(extra.status, 2);
  EXPECT_EQ(count_lines(extra.err), 1u);
}

}  // namespace
