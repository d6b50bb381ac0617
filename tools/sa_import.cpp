// sa_import - SpamAssassin's configuration read and its header rules written
// as our rule lines
//
// The regex translation is sa_regex's; this unit reads the files as
// SpamAssassin does, decides which rules fit, and writes the rule file, the
// map and the skipped list. (tested in tests/sa_import_test.cpp and, against
// Perl, by tests/sa_import_diff.sh)
#include "sa_import.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "cli_errors.h"

namespace hdrw_cli {
namespace {

// sa_acronym - a part of a header name that mail software writes in capitals
bool sa_acronym(std::string part) {
  for (char &c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return part.size() <= 2 || part == "mime" || part == "php";
}

}  // namespace

// sa_name_spellings - the spellings of a header name that get a rule line
std::vector<std::string> sa_name_spellings(const std::string &name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : name) {
    if (c == '-') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  auto join = [&parts](int style) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) out += '-';
      std::string p = parts[i];
      for (size_t j = 0; j < p.size(); ++j) {
        const bool upper = style == 2   ? (j == 0 || sa_acronym(p))
                           : style == 1 ? (i == 0 && j == 0)
                                        : j == 0;
        p[j] = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(p[j]))
                                       : std::tolower(static_cast<unsigned char>(p[j])));
      }
      out += p;
    }
    return out;
  };
  // As written with the later parts in lower case ("MIME-version").
  std::string first_as_written = name;
  const size_t dash = name.find('-');
  if (dash != std::string::npos) {
    for (size_t i = dash; i < first_as_written.size(); ++i)
      first_as_written[i] =
          static_cast<char>(std::tolower(static_cast<unsigned char>(first_as_written[i])));
  }
  std::vector<std::string> out{name, join(0), join(1), join(2), first_as_written};
  // Spellings seen on public mail that no rule above makes.
  static const char *const kSeen[][2] = {
      {"mime-version", "MiME-Version"},
      {"x-mimeole", "X-MimeOLE"},
      {"x-msmail-priority", "X-MSMail-Priority"},
  };
  std::string lower = name;
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto &seen : kSeen) {
    if (lower == seen[0]) out.push_back(seen[1]);
  }
  std::vector<std::string> unique;
  for (const std::string &s : out) {
    if (std::find(unique.begin(), unique.end(), s) == unique.end()) unique.push_back(s);
  }
  return unique;
}

namespace {

// ---- reading the configuration --------------------------------------------

enum SaKind { kHeaderRule, kMetaRule, kOtherRule };

struct SaRule {
  std::string name;
  std::string file;
  SaKind kind = kOtherRule;
  std::string type;        // the keyword: header, meta, body, ...
  std::string header;      // header as written, with its modifier
  std::string op;          // "=~", "!~", or "" for eval: and exists:
  std::string expr;        // as written
  std::string unset;       // [if-unset: ...] text, if any
  std::string definition;  // the text after the name
  size_t order = 0;
};

struct SaConfig {
  std::map<std::string, SaRule> rules;
  std::map<std::string, std::vector<double>> scores;
  std::string version;
  size_t next_order = 0;
};

std::string sa_trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// sa_strip_comment - the line without its comment; "\#" stands for "#"
std::string sa_strip_comment(const std::string &line) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '#') {
      out += '#';
      ++i;
    } else if (line[i] == '#') {
      break;
    } else {
      out += line[i];
    }
  }
  return sa_trim(out);
}

std::string sa_word(const std::string &s, size_t &at) {
  while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
  const size_t start = at;
  while (at < s.size() && !std::isspace(static_cast<unsigned char>(s[at]))) ++at;
  return s.substr(start, at - start);
}

void sa_define(SaConfig &config, SaRule rule) {
  auto it = config.rules.find(rule.name);
  rule.order = it == config.rules.end() ? config.next_order++ : it->second.order;
  config.rules[rule.name] = std::move(rule);
}

void sa_read(SaConfig &config, const SaSourceFile &file) {
  std::istringstream in(file.text);
  std::string raw;
  std::vector<bool> active{true};  // per open if-block: are its lines read
  std::vector<bool> taken;         // per open if-block: the condition's value
  while (std::getline(in, raw)) {
    const std::string line = sa_strip_comment(raw);
    if (line.empty()) continue;
    size_t at = 0;
    std::string key = sa_word(line, at);
    for (char &c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key == "if" || key == "ifplugin") {
      const std::string cond = sa_trim(line.substr(at));
      const bool value = !(key == "if" && !cond.empty() && cond[0] == '!');
      taken.push_back(value);
      active.push_back(active.back() && value);
      continue;
    }
    if (key == "else") {
      if (taken.empty()) continue;
      active.pop_back();
      active.push_back(active.back() && !taken.back());
      continue;
    }
    if (key == "endif") {
      if (taken.empty()) continue;
      taken.pop_back();
      active.pop_back();
      continue;
    }
    if (!active.back()) continue;
    if (key == "require_version" && config.version.empty()) {
      const std::string v = sa_word(line, at);
      const size_t dot = v.find('.');
      if (dot != std::string::npos && v.size() >= dot + 7 &&
          std::isdigit(static_cast<unsigned char>(v[0]))) {
        config.version = v.substr(0, dot) + "." +
                         std::to_string(std::atoi(v.substr(dot + 1, 3).c_str())) + "." +
                         std::to_string(std::atoi(v.substr(dot + 4, 3).c_str()));
      }
      continue;
    }
    if (key == "score") {
      const std::string name = sa_word(line, at);
      std::vector<double> values;
      for (;;) {
        std::string w = sa_word(line, at);
        if (w.empty()) break;
        if (w.front() == '(' && w.back() == ')') w = w.substr(1, w.size() - 2);
        values.push_back(std::atof(w.c_str()));
      }
      if (!name.empty() && !values.empty()) config.scores[name] = values;
      continue;
    }
    static const std::set<std::string> kTypes{"header", "meta",       "body",   "rawbody",   "uri",
                                              "full",   "mimeheader", "askdns", "uri_detail"};
    if (kTypes.count(key) == 0) continue;
    SaRule rule;
    rule.name = sa_word(line, at);
    if (rule.name.empty()) continue;
    rule.file = file.name;
    rule.type = key;
    rule.definition = sa_trim(line.substr(at));
    if (key == "meta") {
      rule.kind = kMetaRule;
    } else if (key == "header") {
      rule.kind = kHeaderRule;
      size_t pos = at;
      rule.header = sa_word(line, pos);
      if (rule.header.compare(0, 5, "eval:") == 0 || rule.header.compare(0, 7, "exists:") == 0) {
        rule.header = rule.definition;
      } else {
        rule.op = sa_word(line, pos);
        std::string rest = sa_trim(line.substr(pos));
        const size_t unset = rest.find("[if-unset:");
        if (unset != std::string::npos) {
          rule.unset = rest.substr(unset);
          rest = sa_trim(rest.substr(0, unset));
        }
        rule.expr = rest;
      }
    }
    sa_define(config, std::move(rule));
  }
}

// ---- deciding and writing -------------------------------------------------

bool sa_pseudo_header(const std::string &name) {
  static const std::set<std::string> kPseudo{"ALL",          "ALL-TRUSTED",  "ALL-UNTRUSTED",
                                             "ALL-INTERNAL", "ALL-EXTERNAL", "ToCc",
                                             "MESSAGEID",    "EnvelopeFrom"};
  return kPseudo.count(name) != 0 || name.compare(0, 14, "X-Spam-Relays-") == 0;
}

// A header rule ready to become lines: name as written and the pattern body.
struct SaLine {
  std::string rule;  // SpamAssassin name
  std::string name;  // header name
  std::string body;  // pattern after "^Name:"
  std::string note;
  std::string text;  // the definition as written: "NAME Header =~ /re/", ORs joined by " || "
};

// sa_has_backref - whether a written pattern refers back to a group
bool sa_has_backref(const std::string &body) {
  for (size_t i = 0; i + 1 < body.size(); ++i) {
    if (body[i] != '\\') continue;
    if (body[i + 1] >= '1' && body[i + 1] <= '9') return true;
    ++i;
  }
  return false;
}

std::string sa_lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct SaImporter {
  const SaConfig &config;
  const SaImportOptions &options;
  std::map<std::string, SaTranslation> header_cache;

  // header_line - a header rule as one line, or the reason it is not one
  bool header_line(const SaRule &rule, SaLine &line, std::string &reason) {
    if (rule.header.compare(0, 5, "eval:") == 0) {
      reason = "eval: test (code, not a pattern)";
      return false;
    }
    if (rule.header.compare(0, 7, "exists:") == 0) {
      reason = "exists: test";
      return false;
    }
    std::string name = rule.header, modifier;
    const size_t colon = name.find(':');
    if (colon != std::string::npos) {
      modifier = name.substr(colon + 1);
      name = name.substr(0, colon);
    }
    if (sa_pseudo_header(name)) {
      reason = "pseudo-header " + name;
      return false;
    }
    if (!modifier.empty() && modifier != "raw") {
      reason = "header modifier :" + modifier + " (the part is not confined)";
      return false;
    }
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
        })) {
      reason = "header name " + name + " cannot be indexed";
      return false;
    }
    if (rule.op == "!~") {
      reason = "!~ test";
      return false;
    }
    if (rule.op != "=~") {
      reason = "not a header test: " + rule.definition;
      return false;
    }
    if (!rule.unset.empty()) {
      reason = "[if-unset] default";
      return false;
    }
    auto it = header_cache.find(rule.expr);
    if (it == header_cache.end())
      it = header_cache.emplace(rule.expr, sa_translate(rule.expr)).first;
    if (!it->second.ok) {
      reason = "regex: " + it->second.reason;
      return false;
    }
    line.rule = rule.name;
    line.name = name;
    line.body = it->second.body;
    line.note = it->second.note;
    line.text = rule.name + " " + rule.header + " " + rule.op + " " + rule.expr;
    return true;
  }

  // meta_lines - the lines a meta needs: an AND of header rules and of ORs
  // of header rules on one header name (merged into one pattern), or the
  // reason it has no such form
  bool meta_lines(const SaRule &rule, std::vector<SaLine> &lines, std::string &reason, int depth) {
    if (depth > 16) {
      reason = "meta nesting too deep";
      return false;
    }
    // The meta's own operators decide first, then its parts.
    const std::string &text = rule.definition;
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '!' && (i + 1 >= text.size() || text[i + 1] != '=')) {
        reason = "meta with NOT";
        return false;
      }
      const bool in_name =
          i > 0 && (std::isalnum(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '_');
      if (std::strchr("+-*/<>=", c) != nullptr ||
          (std::isdigit(static_cast<unsigned char>(c)) && !in_name)) {
        reason = "meta with arithmetic or comparison";
        return false;
      }
    }
    MetaParser parser{*this, rule.definition, 0, depth, {}};
    std::vector<SaLine> parsed;
    if (!parser.expression(parsed) || !parser.finish()) {
      reason = parser.reason;
      return false;
    }
    for (SaLine &l : parsed) {
      const bool seen = std::any_of(lines.begin(), lines.end(),
                                    [&l](const SaLine &x) { return x.text == l.text; });
      if (!seen) lines.push_back(std::move(l));
    }
    return true;
  }

  // MetaParser - expression := term ("||" term)*, term := factor ("&&" factor)*,
  // factor := NAME | "(" expression ")"
  struct MetaParser {
    SaImporter &importer;
    const std::string &text;
    size_t at;
    int depth;
    std::string reason;
    int parens = 0;  // open parentheses

    void blanks() {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    }
    bool finish() {
      blanks();
      if (at == text.size()) return true;
      reason = text[at] == '!' ? "meta with NOT" : "meta with arithmetic or comparison";
      return false;
    }
    bool expression(std::vector<SaLine> &out) {
      std::vector<std::vector<SaLine>> terms(1);
      if (!term(terms[0])) return false;
      for (;;) {
        blanks();
        if (text.compare(at, 2, "||") != 0) break;
        at += 2;
        terms.emplace_back();
        if (!term(terms.back())) return false;
      }
      if (terms.size() == 1) {
        out.insert(out.end(), terms[0].begin(), terms[0].end());
        return true;
      }
      // An OR becomes one line when each side is one line on the same header
      // name and no pattern refers back to its groups.
      SaLine merged = terms[0].size() == 1 ? terms[0][0] : SaLine{};
      std::string bodies;
      for (const std::vector<SaLine> &t : terms) {
        if (t.size() != 1 || sa_lower(t[0].name) != sa_lower(merged.name) ||
            sa_has_backref(t[0].body)) {
          reason = "meta with OR of parts that are not one header's patterns";
          return false;
        }
        bodies += (bodies.empty() ? "" : "|") + t[0].body;
        if (&t != &terms[0]) {
          merged.text += " || " + t[0].text;
          if (!t[0].note.empty() && merged.note.find(t[0].note) == std::string::npos)
            merged.note += (merged.note.empty() ? "" : "; ") + t[0].note;
        }
      }
      merged.body = "(" + bodies + ")";
      out.push_back(merged);
      return true;
    }
    bool term(std::vector<SaLine> &out) {
      if (!factor(out)) return false;
      for (;;) {
        blanks();
        if (text.compare(at, 2, "&&") != 0) return true;
        at += 2;
        if (!factor(out)) return false;
      }
    }
    bool factor(std::vector<SaLine> &out) {
      blanks();
      if (at < text.size() && text[at] == '(') {
        ++at;
        if (++parens > 32) {
          reason = "meta nesting too deep";
          return false;
        }
        if (!expression(out)) return false;
        --parens;
        blanks();
        if (at >= text.size() || text[at] != ')') {
          if (reason.empty()) reason = "meta with arithmetic or comparison";
          return false;
        }
        ++at;
        return true;
      }
      if (at < text.size() && text[at] == '!') {
        reason = "meta with NOT";
        return false;
      }
      size_t end = at;
      while (end < text.size() &&
             (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
        ++end;
      if (end == at || std::isdigit(static_cast<unsigned char>(text[at]))) {
        reason = text.empty() ? "empty meta" : "meta with arithmetic or comparison";
        return false;
      }
      const std::string n = text.substr(at, end - at);
      at = end;
      auto it = importer.config.rules.find(n);
      if (it == importer.config.rules.end()) {
        reason = "meta uses " + n + ", which is not defined";
        return false;
      }
      const SaRule &sub = it->second;
      std::string why;
      if (sub.kind == kMetaRule) {
        if (!importer.meta_lines(sub, out, why, depth + 1)) {
          reason = "meta uses " + n + ": " + why;
          return false;
        }
        return true;
      }
      if (sub.kind != kHeaderRule) {
        reason = "meta uses " + n + ", a " + sub.type + " rule";
        return false;
      }
      SaLine l;
      if (!importer.header_line(sub, l, why)) {
        reason = "meta uses " + n + ": " + why;
        return false;
      }
      out.push_back(l);
      return true;
    }
  };
};

std::string sa_format_score(double score) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", score);
  return text;
}

std::string sa_rule_line(int32_t id, int weight, bool multi, bool last,
                         const std::string &pattern) {
  char head[32];
  if (weight >= 0) {
    std::snprintf(head, sizeof head, "%010d%03d", id, weight);
  } else {
    std::snprintf(head, sizeof head, "%010d-%02d", id, -weight);
  }
  std::string out = head;
  out += multi ? "005" : "001";
  out += multi ? (last ? "&." : "&+") : "&-";
  out += pattern;
  out += '\n';
  return out;
}

std::string sa_tsv_field(std::string s) {
  for (char &c : s) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

// sa_reason_category - the kind of a skip reason, for the counts: a meta
// skipped for one of its parts counts under that part's innermost reason
std::string sa_reason_category(const std::string &reason) {
  std::string r = reason, prefix;
  while (r.compare(0, 10, "meta uses ") == 0) {
    prefix = "meta, a part: ";
    const size_t colon = r.find(": "), comma = r.find(", ");
    if (comma < colon) {
      r = r.substr(comma + 2);
      if (r.compare(0, 2, "a ") == 0) r = r.substr(2);
      break;
    }
    if (colon == std::string::npos) break;
    r = r.substr(colon + 2);
  }
  std::string category = sa_trim(r.substr(0, r.find_first_of(":,(")));
  if (category.compare(0, 15, "pseudo-header X") == 0) category = "pseudo-header X-Spam-Relays-*";
  if (category == "header modifier") category = "header modifier :addr, :name";
  if (category == "eval" || category == "exists") category += ": test";
  if (category.compare(0, 5, "regex") == 0) category = "regex: " + sa_trim(r.substr(6));
  return prefix + category;
}

constexpr int kMaxCombinations = 16;  // spellings combinations written for one meta

}  // namespace

// sa_import - the whole import of a set of configuration files
SaImportResult sa_import(const std::vector<SaSourceFile> &files, const SaImportOptions &options) {
  if (options.score_set < 0 || options.score_set > 3) throw Failure("score set must be 0 to 3");
  if (options.scale < 1) throw Failure("scale must be at least 1");
  if (options.first_id < 1) throw Failure("first ID must be at least 1");
  SaConfig config;
  for (const SaSourceFile &f : files) sa_read(config, f);

  std::vector<const SaRule *> ordered;
  for (const auto &entry : config.rules) ordered.push_back(&entry.second);
  std::sort(ordered.begin(), ordered.end(),
            [](const SaRule *a, const SaRule *b) { return a->order < b->order; });

  if (config.version.empty()) config.version = options.version;
  SaImportResult result;
  result.version = config.version;
  SaImporter importer{config, options, {}};
  std::string body_lines;
  int64_t id = options.first_id;
  auto skip = [&result](const SaRule &rule, const std::string &reason) {
    result.skipped += sa_tsv_field(rule.name) + '\t' + sa_tsv_field(rule.file) + '\t' +
                      sa_tsv_field(reason) + '\n';
    ++result.reasons[sa_reason_category(reason)];
  };

  for (const SaRule *rule : ordered) {
    const bool sub_rule = rule->name.compare(0, 2, "__") == 0;
    if (sub_rule && !options.unscored) continue;
    double score = sub_rule ? 0 : rule->name.compare(0, 2, "T_") == 0 ? 0.01 : 1.0;
    auto sc = config.scores.find(rule->name);
    if (!sub_rule && sc != config.scores.end()) {
      const std::vector<double> &v = sc->second;
      score = v.size() >= 4 ? v[static_cast<size_t>(options.score_set)] : v[0];
    }
    long weight = std::lround(score * options.scale);
    std::string note;
    if (weight == 0 && !options.unscored) {
      skip(*rule, score == 0 ? "score 0 in set " + std::to_string(options.score_set)
                             : "weight rounds to 0 (score " + sa_format_score(score) + ")");
      continue;
    }
    if (weight == 0) note = "no weight in this score set: imported at 0 for rules fit";
    if (weight > 999 || weight < -99) {
      note = "weight " + std::to_string(weight) + " clamped";
      weight = std::clamp(weight, -99L, 999L);
    }
    std::vector<SaLine> lines;
    std::string reason;
    bool ok = false;
    if (rule->kind == kHeaderRule) {
      SaLine l;
      ok = importer.header_line(*rule, l, reason);
      if (ok) lines.push_back(l);
    } else if (rule->kind == kMetaRule) {
      ok = importer.meta_lines(*rule, lines, reason, 0);
    } else {
      reason = rule->type + " rule: not a header test";
    }
    if (!ok) {
      skip(*rule, reason);
      continue;
    }
    // One combination of spellings per distinct header name the rule reads.
    std::vector<std::string> names;
    for (const SaLine &l : lines) {
      if (std::find(names.begin(), names.end(), sa_lower(l.name)) == names.end())
        names.push_back(sa_lower(l.name));
    }
    std::vector<std::vector<std::string>> spellings;
    size_t combinations = 1;
    for (const std::string &lower : names) {
      const SaLine &first = *std::find_if(lines.begin(), lines.end(), [&lower](const SaLine &l) {
        return sa_lower(l.name) == lower;
      });
      spellings.push_back(sa_name_spellings(first.name));
      combinations *= spellings.back().size();
    }
    if (combinations > kMaxCombinations) {
      skip(*rule, "meta reads too many header names with several spellings");
      continue;
    }
    const int32_t rule_id = static_cast<int32_t>(id);
    if (id > 2147483647) throw Failure("rule IDs run past 2147483647");
    ++id;
    const bool multi = lines.size() > 1;
    const std::string score_text = sa_format_score(score);
    for (size_t combo = 0; combo < combinations; ++combo) {
      size_t rest = combo;
      std::map<std::string, std::string> chosen;
      for (size_t n = 0; n < names.size(); ++n) {
        chosen[names[n]] = spellings[n][rest % spellings[n].size()];
        rest /= spellings[n].size();
      }
      for (size_t i = 0; i < lines.size(); ++i) {
        const SaLine &l = lines[i];
        const std::string pattern = "^" + chosen[sa_lower(l.name)] + ":" + l.body;
        body_lines +=
            sa_rule_line(rule_id, static_cast<int>(weight), multi, i + 1 == lines.size(), pattern);
        std::string line_note = note;
        if (!l.note.empty()) line_note += (line_note.empty() ? "" : "; ") + l.note;
        std::string header = "meta", expression = l.text;
        if (rule->kind != kMetaRule) {
          const SaRule &source = config.rules.at(l.rule);
          header = source.header;
          expression = source.expr;
        }
        result.map += std::to_string(rule_id) + '\t' + rule->name + '\t' + sa_tsv_field(header) +
                      '\t' + sa_tsv_field(expression) + '\t' + score_text + '\t' +
                      std::to_string(weight) + '\t' + line_note + '\n';
        ++result.rule_lines;
      }
    }
    if (weight == 0) {
      ++result.imported_unscored;
    } else if (rule->kind == kMetaRule) {
      ++result.imported_meta;
    } else {
      ++result.imported_header;
    }
  }

  std::string head = "# version 04/18/2001/002\n";
  head += "# SpamAssassin " +
          (config.version.empty() ? std::string("(version not stated)") : config.version) +
          " header rules, imported by hdrweights rules import spamassassin\n";
  head += "# files:";
  for (const SaSourceFile &f : files) head += " " + f.name;
  head += "\n# score set " + std::to_string(options.score_set) + ", scale " +
          std::to_string(options.scale) + " (weight = SpamAssassin score x " +
          std::to_string(options.scale) + ", rounded)\n";
  head += "# " + std::to_string(result.imported_header) + " header rules and " +
          std::to_string(result.imported_meta) + " meta rules";
  if (options.unscored) head += ", " + std::to_string(result.imported_unscored) + " unscored";
  head += " in " + std::to_string(result.rule_lines) + " rule lines\n";
  head +=
      "#\n"
      "# The rules are translated from SpamAssassin's rule files.\n"
      "# Licensed to the Apache Software Foundation (ASF) under one or more\n"
      "# contributor license agreements. The ASF licenses the rules to you under\n"
      "# the Apache License, Version 2.0 (the \"License\"); you may not use them\n"
      "# except in compliance with the License. You may obtain a copy of the\n"
      "# License at http://www.apache.org/licenses/LICENSE-2.0\n"
      "# Unless required by applicable law or agreed to in writing, software\n"
      "# distributed under the License is distributed on an \"AS IS\" BASIS,\n"
      "# WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.\n"
      "# See the License for the specific language governing permissions and\n"
      "# limitations under the License.\n";
  result.rules = head + body_lines;
  return result;
}

}  // namespace hdrw_cli
