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

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "cli_files.h"
#include "cli_install_paths.h"
#include "cli_texts.h"
#include "module_settings.h"
#include "regx.h"
#include "rule_text.h"
#include "tlvpr_mem.h"
#include "tvr_config.h"
#include "tvr_status.h"

namespace hdrw_cli {
namespace {

struct TlvprFree {
  void operator()(void *p) const { tlvpr_free(p); }
};

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
    throw Failure(shown_config + ": cannot read the configuration: " + code_text(rc));
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
  if (rc != 0 &&
      !(rc == TVR_CONFIG_NO_DATA || rc == TVR_FILE_OPEN_ERROR || rc == TVR_FILE_READ_ERROR)) {
    throw Failure(shown_config + ": cannot read the module's settings: " + code_text(rc));
  }
  return s;
}

// rule_source_plain_text - the plain rule text of a rule file: as it is when it
// begins with a version line and may be plain, else decrypted with key
std::string rule_source_plain_text(const std::string &stored, bool may_be_plain,
                                   const std::string &key, const std::string &name,
                                   const std::string &key_hint) {
  if (may_be_plain && is_rule_text(stored)) return stored;
  if (key.empty()) throw Failure(name + ": " + key_hint);
  std::string plain;
  if (!decrypt_rule_text(stored, key, plain)) {
    throw Failure(name + ": cannot decrypt: not a stored rule file");
  }
  if (!is_rule_text(plain)) {
    throw Failure(name +
                  ": the decrypted text is no rule file: wrong certificate, or not a "
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
    RuleLine *line;
    size_t source_line;
    std::string pattern;
  };
  std::vector<Made> made;
  const size_t rule_lines = build_rule_lines(
      text, version, out.base.get(), out.name,
      [&](RuleLine *line, const RuleLineCheck &check, size_t number, const std::string &line_text) {
        made.push_back(
            {line, number,
             line_text.substr(std::min<size_t>(check.pattern_offset, line_text.size()))});
        return true;
      });
  rulebase_drop_invalid(out.base.get());

  // The survivors, in order, with their source lines.
  size_t k = 0;
  for (RuleLine *line = out.base->first; line != nullptr; line = line->next) {
    while (made[k].line != line) ++k;
    out.lines.push_back({line, made[k].source_line, std::move(made[k].pattern)});
  }
  out.dropped = rule_lines - out.lines.size();
}

}  // namespace

const char kRuleSourceHelp[] =
    "  --config FILE       server configuration: clientCert, limits and the rule\n"
    "                      file kelv in its directory (default: server.xml in\n"
    "                      the current directory, else\n"
    "                      " HDRW_CONFIG_DIR
    "/server.xml)\n"
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
  if (!o.cert.empty()) key = certificate_key(o.cert);

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
  out.text = std::move(plain);
  return out;
}

}  // namespace hdrw_cli
