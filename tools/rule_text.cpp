// rule_text - certificate keys, version lines, decryption and the line walk of
// the rule-file tools (see the header). (tested in tests/cli_test.cpp and
// tests/rules_tools_test.cpp)
#include "rule_text.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

#include "cli_errors.h"
#include "cli_files.h"
#include "cli_texts.h"
#include "encryption.h"
#include "tlvpr_mem.h"
#include "tvr_securitykey.h"

namespace hdrw_cli {
namespace {

struct TlvprFree {
  void operator()(void *p) const { tlvpr_free(p); }
};

}  // namespace

std::string certificate_key(const std::string &cert) {
  struct stat st {};
  if (::stat(cert.c_str(), &st) != 0) {
    throw Failure(cert + ": cannot read the certificate: " + errno_text(errno));
  }
  if (!S_ISREG(st.st_mode)) throw Failure(cert + ": not a certificate: not a regular file");
  if (st.st_size == 0) throw Failure(cert + ": not a certificate: the file is empty");
  if (static_cast<uint64_t>(st.st_size) > kMaxInput) {
    throw Failure(cert + ": not a certificate: longer than " + std::to_string(kMaxInput) +
                  " bytes");
  }
  char *key = nullptr;
  uint32_t rc = tvr_securitykey_from_file(cert.c_str(), &key);
  if (rc != 0) throw Failure(cert + ": cannot read the certificate: " + catalog_text(rc));
  std::unique_ptr<char, TlvprFree> guard(key);
  return std::string(key);
}

std::string first_line(std::string_view text, bool &has_lf) {
  size_t lf = text.find('\n');
  has_lf = lf != std::string_view::npos;
  return std::string(text.substr(0, has_lf ? lf : text.size()));
}

bool is_rule_text(std::string_view text) {
  bool has_lf = false;
  std::string line = first_line(text, has_lf);
  return has_lf && rulebase_version_of(line.c_str()) != 0;
}

bool decrypt_rule_text(const std::string &stored, const std::string &key, std::string &plain) {
  unsigned char *out = nullptr;
  size_t out_len = 0;
  if (tlvDecryptBuffer(stored.data(), stored.size(), key.c_str(), TLV_ENC_DES_BASE64, &out,
                       &out_len) != 0) {
    return false;
  }
  std::unique_ptr<unsigned char, TlvprFree> guard(out);
  plain.assign(reinterpret_cast<const char *>(out), out_len);
  return true;
}

std::string encrypt_rule_text(const std::string &plain, const std::string &key,
                              const std::string &name) {
  unsigned char *out = nullptr;
  size_t out_len = 0;
  const uint32_t rc =
      tlvEncryptBuffer(plain.data(), plain.size(), key.c_str(), TLV_ENC_DES_BASE64, &out, &out_len);
  if (rc != 0) throw Failure(name + ": cannot encrypt: " + catalog_text(rc));
  std::unique_ptr<unsigned char, TlvprFree> guard(out);
  return std::string(reinterpret_cast<const char *>(out), out_len);
}

std::string set_rule_weights(const std::string &text, int32_t version,
                             const std::vector<std::pair<size_t, int32_t>> &weights) {
  const size_t field = version == 1 ? 6 : 10;  // after the rule ID's columns
  std::vector<size_t> line_start = {0};
  for (size_t pos = text.find('\n'); pos != std::string::npos; pos = text.find('\n', pos + 1)) {
    line_start.push_back(pos + 1);
  }
  std::string out = text;
  for (const auto &[number, weight] : weights) {
    if (weight < -99 || weight > 999) {
      throw Failure("weight " + std::to_string(weight) + " does not fit the weight field");
    }
    const size_t at = number >= 1 && number <= line_start.size() ? line_start[number - 1] + field
                                                                 : std::string::npos;
    const size_t end = number < line_start.size() ? line_start[number] - 1 : text.size();
    if (at == std::string::npos || at + 3 > end) {
      throw Failure("line " + std::to_string(number) + " has no weight field");
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, weight < 0 ? "-%02d" : "%03d", weight < 0 ? -weight : weight);
    out.replace(at, 3, buf, 3);
  }
  return out;
}

size_t build_rule_lines(const std::string &text, int32_t version, RuleBase *base,
                        const std::string &name, const RuleLineVisit &on_line) {
  RuleLine *last = base->first;
  while (last != nullptr && last->next != nullptr) last = last->next;
  size_t number = 1, rule_lines = 0;
  for (size_t pos = text.find('\n') + 1; pos != 0 && pos < text.size();) {
    ++number;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line_text = text.substr(pos, end - pos);
    pos = end + 1;
    if (rulebase_line_is_rule(line_text.c_str()) == 0) continue;
    ++rule_lines;
    RuleLine *line = nullptr;
    RuleLineCheck check{};
    uint32_t rc = rulebase_make_line(line_text.c_str(), version, &line, &check);
    if (rc != 0) throw Failure(name + ":" + std::to_string(number) + ": " + catalog_text(rc));
    line->previous = last;
    if (last != nullptr) {
      last->next = line;
    } else {
      base->first = line;
    }
    last = line;
    if (!on_line(line, check, number, line_text)) break;
  }
  return rule_lines;
}

}  // namespace hdrw_cli
