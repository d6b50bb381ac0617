// rule_text - the plain text of rule files, as the rule-file tools read it
//
// certificate_key(cert) is the key text of a client certificate: the MD5 of
// the file's bytes as the module derives it. The tools refuse an empty file,
// one over kMaxInput bytes or anything but a regular file, since a key for
// "no certificate" is always a mistake. Throws Failure naming the file.
//
// first_line(text, has_lf) is the first line without its LF; has_lf says
// whether it had one. is_rule_text(text) says whether text begins with a
// version line ended by LF, as every plain rule file does.
// decrypt_rule_text(stored, key, plain) decrypts a stored rule file (type 2:
// Base64 of the triple-DES container) into plain; false when it is none.
// encrypt_rule_text(plain, key, name) is the stored form of a plain text;
// throws Failure naming name when it cannot be made.
//
// set_rule_weights(text, version, weights) is text with the weight field
// (columns 11-13, or 7-9 in format version 1) of each listed rule line (1-based
// source line number, as build_rule_lines counts) written as the weight, every
// other byte as it was. A weight is written zero-padded in three characters
// ("050", "-05"), so it must lie in -99 to 999; throws Failure otherwise or
// for a line number that names no line long enough.
//
// build_rule_lines(text, version, base, name, on_line) parses every rule line
// after the version line of a plain rule text with the loader's per-line
// logic (rulebase_make_line) and appends it to base in file order, valid or
// not (rulebase_drop_invalid then drops what the loader drops). on_line(line,
// check, number, line_text) sees each appended line with its 1-based line
// number and text; the walk stops when it returns false. Comment and blank
// lines are skipped. Returns the number of rule lines walked; throws Failure
// ("NAME:NUMBER: ...") when a line cannot be made (no memory, no lock).
#ifndef TOOLS_RULE_TEXT_H
#define TOOLS_RULE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "load_rules.h"

namespace hdrw_cli {

using RuleLineVisit = std::function<bool(RuleLine *line, const RuleLineCheck &check, size_t number,
                                         const std::string &text)>;

std::string certificate_key(const std::string &cert);
std::string first_line(std::string_view text, bool &has_lf);
bool is_rule_text(std::string_view text);
bool decrypt_rule_text(const std::string &stored, const std::string &key, std::string &plain);
std::string encrypt_rule_text(const std::string &plain, const std::string &key,
                              const std::string &name);
std::string set_rule_weights(const std::string &text, int32_t version,
                             const std::vector<std::pair<size_t, int32_t>> &weights);
size_t build_rule_lines(const std::string &text, int32_t version, RuleBase *base,
                        const std::string &name, const RuleLineVisit &on_line);

}  // namespace hdrw_cli

#endif
