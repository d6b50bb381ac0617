// rule_source - settings, rule text and rule base of the authors' tools
//
// The settings come from the module's own reader, read_module_settings, handed
// a callback table that answers its two questions (load point, configuration)
// the way the reference host does; so the key, the rule file path and the
// limits are the module's to the letter. The rule base is built one text line
// at a time with rulebase_make_line and then rulebase_drop_invalid, which is
// the loader's parse without its stream, so every rule line keeps its source
// line number and pattern for the reports. (tested in tests/cli_test.cpp)
#include "rule_source.h"

#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "encryption.h"
#include "install_paths.h"
#include "module_settings.h"
#include "regx.h"
#include "tlvpr_mem.h"
#include "tvr_config.h"
#include "tvr_securitykey.h"

namespace hdrw_cli {
namespace {

struct TlvprFree {
  void operator()(void *p) const { tlvpr_free(p); }
};

// rule_source_code - a status code for an error line, with its catalog text
std::string rule_source_code(uint32_t code) {
  const std::string text = catalog_text(code);
  return "code " + std::to_string(code) + (text.rfind("code ", 0) == 0 ? "" : " (" + text + ")");
}

// What the settings reader asks the host for.
struct SettingsHost {
  const char *load_point;
  ConfigHandle *config;
};

uintptr_t rule_source_load_point(uintptr_t host) {
  return reinterpret_cast<uintptr_t>(reinterpret_cast<SettingsHost *>(host)->load_point);
}

uintptr_t rule_source_configuration(uintptr_t host) {
  return reinterpret_cast<uintptr_t>(reinterpret_cast<SettingsHost *>(host)->config);
}

struct ModuleSettings {
  std::string rule_file;  // load point, '/', "kelv"
  std::string key;        // empty when clientCert gave none
  EvalLimits limits;
};

// rule_source_settings - the module's settings from a configuration file
ModuleSettings rule_source_settings(const std::string &config_path, const std::string &load_point,
                                    const std::string &shown_config) {
  ConfigHandle *config = nullptr;
  uint32_t rc = tvr_config_open(&config, config_path.c_str());
  if (rc != 0) {
    throw Failure(shown_config + ": cannot read the configuration: " + rule_source_code(rc));
  }
  std::unique_ptr<ConfigHandle, decltype(&tvr_config_free)> config_guard(config, &tvr_config_free);
  SettingsHost host{load_point.c_str(), config};
  HostCallbackTable table{};
  table.entry[TVR_HOST_GET_LOAD_POINT_DIRECTORY] = rule_source_load_point;
  table.entry[TVR_HOST_GET_CONFIGURATION] = rule_source_configuration;
  ModuleInstance instance{};
  instance.callbacks = &table;

  // clientCert may be relative to the configuration's directory.
  std::error_code ec;
  std::filesystem::path before = std::filesystem::current_path(ec);
  std::filesystem::current_path(directory_of(config_path), ec);
  if (ec) throw Failure(directory_of(shown_config) + ": cannot change into it: " + ec.message());
  rc = read_module_settings(reinterpret_cast<uintptr_t>(&host), &instance);
  std::filesystem::current_path(before, ec);
  std::unique_ptr<char, TlvprFree> path_guard(instance.rule_file_path);
  std::unique_ptr<char, TlvprFree> key_guard(instance.key);
  if (ec) throw Failure("cannot change back into " + before.string() + ": " + ec.message());

  ModuleSettings s;
  if (instance.rule_file_path != nullptr) s.rule_file = instance.rule_file_path;
  if (instance.key != nullptr) s.key = instance.key;
  s.limits.max_header_length = instance.max_header_length;
  s.limits.max_total_headers_length = instance.max_total_headers_length;
  s.limits.max_backtracks = instance.max_back_tracks;
  // A missing or unreadable certificate matters only for a stored rule file;
  // any other failure leaves the limits unread.
  if (rc != 0 && !(rc == 21018 || rc == 10003 || rc == 10011)) {
    throw Failure(shown_config + ": cannot read the module's settings: " + rule_source_code(rc));
  }
  return s;
}

// rule_source_has_version_line - whether text begins with a version line ended by LF
bool rule_source_has_version_line(std::string_view text) {
  size_t lf = text.find('\n');
  return lf != std::string_view::npos &&
         rulebase_version_of(std::string(text.substr(0, lf)).c_str()) != 0;
}

// rule_source_plain_text - the plain rule text of a rule file: as it is when it
// begins with a version line and may be plain, else decrypted with key
std::string rule_source_plain_text(const std::string &stored, bool may_be_plain,
                                   const std::string &key, const std::string &name,
                                   const std::string &key_hint) {
  if (may_be_plain && rule_source_has_version_line(stored)) return stored;
  if (key.empty()) throw Failure(name + ": " + key_hint);
  unsigned char *out = nullptr;
  size_t out_len = 0;
  if (tlvDecryptBuffer(stored.data(), stored.size(), key.c_str(), TLV_ENC_DES_BASE64, &out,
                       &out_len) != 0) {
    throw Failure(name + ": cannot decrypt: not a stored rule file");
  }
  std::unique_ptr<unsigned char, TlvprFree> guard(out);
  std::string plain(reinterpret_cast<const char *>(out), out_len);
  if (!rule_source_has_version_line(plain)) {
    throw Failure(name + ": the decrypted text is no rule file: wrong certificate, or not a "
                         "stored rule file");
  }
  return plain;
}

std::string rule_source_sha256(const std::string &text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1) {
    throw Failure("cannot compute the SHA-256 of the rule text");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// rule_source_build - the rule base of a plain rule text, as the loader builds it
void rule_source_build(const std::string &text, LoadedRules &out) {
  size_t lf = text.find('\n');
  const int32_t version = rulebase_version_of(text.substr(0, lf).c_str());
  if (regx_init() != 0) throw Failure("the regular expression engine cannot start");
  out.base.reset(static_cast<RuleBase *>(tlvpr_calloc(1, sizeof(RuleBase))));
  if (!out.base) throw Failure("out of memory");
  out.base->format_version = version;

  struct Made {
    size_t source_line;
    size_t pattern_offset;
    size_t start;
  };
  std::vector<std::pair<RuleLine *, Made>> made;
  RuleLine *last = nullptr;
  size_t number = 1, rule_lines = 0;
  for (size_t pos = lf + 1; pos < text.size();) {
    ++number;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line_text = text.substr(pos, end - pos);
    const size_t start = pos;
    pos = end + 1;
    if (rulebase_line_is_rule(line_text.c_str()) == 0) continue;
    ++rule_lines;
    RuleLine *line = nullptr;
    RuleLineCheck check{};
    uint32_t rc = rulebase_make_line(line_text.c_str(), version, &line, &check);
    if (rc != 0) {
      throw Failure(out.name + ":" + std::to_string(number) + ": cannot load: " + catalog_text(rc));
    }
    line->previous = last;
    if (last != nullptr) {
      last->next = line;
    } else {
      out.base->first = line;
    }
    last = line;
    made.push_back({line, {number, check.pattern_offset, start}});
  }
  rulebase_drop_invalid(out.base.get());

  // The survivors, in order, with their source lines.
  size_t k = 0;
  for (RuleLine *line = out.base->first; line != nullptr; line = line->next) {
    while (made[k].first != line) ++k;
    const Made &m = made[k].second;
    size_t end = text.find('\n', m.start);
    if (end == std::string::npos) end = text.size();
    out.lines.push_back({line, m.source_line,
                         text.substr(m.start + m.pattern_offset, end - m.start - m.pattern_offset)});
  }
  out.dropped = rule_lines - out.lines.size();
}

}  // namespace

const char kRuleSourceHelp[] =
    "  --config FILE       server configuration: clientCert, limits and the rule\n"
    "                      file kelv in its directory (default: server.xml in\n"
    "                      the current directory, else\n"
    "                      " HDRW_CONFIG_DIR "/server.xml)\n"
    "  --load-point DIR    directory of the rule file kelv (default: the\n"
    "                      configuration's directory)\n"
    "  --rules FILE        a rule file of your own, plain or stored (encrypted);\n"
    "                      limits from --config when given, else the defaults\n"
    "  --cert CERT         the client certificate of a stored --rules FILE\n";

bool take_rule_source_option(ArgParser &args, RuleSourceOptions &options) {
  const std::string &n = args.name();
  std::string *field = n == "config"       ? &options.config
                       : n == "load-point" ? &options.load_point
                       : n == "rules"      ? &options.rules
                       : n == "cert"       ? &options.cert
                                           : nullptr;
  if (field == nullptr) return false;
  *field = args.value();
  if (field->empty()) args.fail("option '--" + n + "' needs a path");
  return true;
}

LoadedRules load_rule_source(const RuleSourceOptions &o) {
  LoadedRules out;
  const bool use_config = !o.config.empty() || !o.load_point.empty() || o.rules.empty();
  ModuleSettings settings;
  std::string shown_rule_file;  // the load point's kelv, as the user named the load point
  if (use_config) {
    std::string shown = o.config;
    if (shown.empty()) {
      shown = o.load_point.empty() ? default_config_path()
                                   : (std::filesystem::path(o.load_point) / "server.xml").string();
    }
    const std::string config = absolute_path(shown);
    const std::string load_point =
        o.load_point.empty() ? directory_of(config) : absolute_path(o.load_point);
    settings = rule_source_settings(config, load_point, shown);
    out.limits = settings.limits;
    shown_rule_file =
        (std::filesystem::path(o.load_point.empty() ? directory_of(shown) : o.load_point) / "kelv")
            .string();
  }
  std::string key = settings.key;
  if (!o.cert.empty()) {
    char *text = nullptr;
    uint32_t rc = tvr_securitykey_from_file(o.cert.c_str(), &text);
    if (rc != 0) throw Failure(o.cert + ": cannot read the certificate: " + catalog_text(rc));
    std::unique_ptr<char, TlvprFree> guard(text);
    key = text;
  }

  std::string plain;
  if (!o.rules.empty()) {
    out.name = o.rules;
    plain = rule_source_plain_text(read_input(o.rules), true, key, out.name,
                                   "not a plain rule file, and a stored one needs --cert CERT");
  } else {
    // The module reads the load point's kelv as stored, never as plain text.
    out.name = shown_rule_file;
    std::string stored;
    try {
      stored = read_input(settings.rule_file);
    } catch (const Failure &f) {
      throw Failure(std::string(f.what()).replace(0, settings.rule_file.size(), out.name));
    }
    plain = rule_source_plain_text(stored, false, key, out.name,
                                   "cannot be decrypted: the configuration names no readable "
                                   "clientCert (the log says why)");
  }
  out.sha256 = rule_source_sha256(plain);
  rule_source_build(plain, out);
  return out;
}

}  // namespace hdrw_cli
