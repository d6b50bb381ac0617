// rule_source - the rule base and limits the rule authors' tools evaluate with
//
// RuleSourceOptions holds what the user named: --config FILE and --load-point
// DIR as scan reads them (the module's own settings reader takes clientCert
// and the three limits from the configuration; the rule file is DIR/kelv,
// always stored encrypted), or --rules FILE [--cert CERT] for a rule file of
// the author's own, plain or stored. Both may be given: the limits (and, for a
// stored FILE without --cert, the key) then come from the configuration. With
// neither, the configuration is the one scan takes by default
// (default_config_path). take_rule_source_option(args, options) consumes the current option
// when it is one of these four and says whether it was.
//
// load_rule_source(options) reads the settings (changing into the
// configuration's directory for the call, so a relative clientCert resolves as
// the module resolves it, and back), decrypts the rule file when it is stored,
// and builds the rule base line by line with the loader's own per-line logic,
// dropping bad rules as the module does. Throws Failure with one line naming
// the file on an unreadable configuration or rule file, a wrong certificate or
// a text that does not load; the module's log records say more.
//
// A LoadedRules owns its rule base; lines lists its rule lines in rule-base
// order (the index the evaluation reports) with the source line number and
// pattern text of each; sha256 identifies the plain rule text (the same rules
// stored for different certificates have the same identity).
#ifndef TOOLS_RULE_SOURCE_H
#define TOOLS_RULE_SOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli_options.h"
#include "load_rules.h"

namespace hdrw_cli {

struct RuleSourceOptions {
  std::string config;      // --config; empty = not given
  std::string load_point;  // --load-point; empty = the configuration's directory
  std::string rules;       // --rules; empty = the load point's kelv
  std::string cert;        // --cert, for a stored --rules file
};

struct EvalLimits {
  uint32_t max_header_length = 768;           // longest header line matched; 0 = no limit
  uint32_t max_total_headers_length = 32768;  // longest header block evaluated; 0 = no limit
  uint32_t max_backtracks = 25000;            // backtracking limit of every match
};

struct RuleLineSource {
  RuleLine *line;       // the rule line in the rule base (owned by the base)
  size_t source_line;   // 1-based line number in the plain rule text
  std::string pattern;  // the pattern as written
};

struct RuleBaseFree {
  void operator()(RuleBase *base) const { rulebase_free(base); }
};

struct LoadedRules {
  std::string name;    // the rule file as the user knows it
  std::string sha256;  // of the plain rule text, 64 lower-case hexadecimal digits
  std::string text;    // the plain rule text
  EvalLimits limits;
  std::unique_ptr<RuleBase, RuleBaseFree> base;
  std::vector<RuleLineSource> lines;  // rule-base order
  size_t dropped = 0;                 // bad or dropped rule lines of the text
};

// The help text of the four options, for the commands that take them.
extern const char kRuleSourceHelp[];

bool take_rule_source_option(ArgParser &args, RuleSourceOptions &options);
LoadedRules load_rule_source(const RuleSourceOptions &options);

}  // namespace hdrw_cli

#endif
