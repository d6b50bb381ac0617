// sa_import - SpamAssassin's header rules read and turned into our rule lines
//
// sa_translate(expr) translates one Perl match expression as SpamAssassin
// writes it ("/re/flags", "m{re}flags", "m!re!flags") into the part of our
// pattern that follows "^Name:", for matching one unfolded header line
// "Name: value". The answer is meant to be the Perl regex's match / no match
// on the value (leading white space removed). What is translated: literals and
// "\xHH" bytes, classes (with "\d \w \s \D \W \S" and POSIX classes), "/i" as
// case classes (ASCII letters, as Perl folds bytes), "(?:...)", "(?i)",
// greedy, lazy ("*?": the same match / no match) and counted repetitions up to
// 255, "^ \A" at the start of the value, "$ \z \Z", "\b" where a neighbouring
// character decides which side is the word, back-references, and the flags
// i m s x o. The module turns every run of white space of a line into one
// space, so "\t" and white-space classes read as that space, and a line feed
// never occurs. Anything else fails with a one-line reason: look-around, "\B",
// possessive quantifiers, counts over 255, named groups, unknown escapes.
// result.note names a rare way in which the answer can still differ.
//
// sa_name_spellings(name) lists the spellings of a header name that a rule
// has one line for: the module compares names exactly, SpamAssassin whatever
// their case. The list holds the name as written, its usual capitalisations
// (every part capitalised; only the first; parts of two letters and "MIME",
// "PHP" in capitals) and spellings measured on public mail ("MiME-Version",
// "X-MimeOLE", "X-MSMail-Priority"), without repeats.
//
// sa_import(files, options) reads SpamAssassin configuration text in the
// order given (a later "header", "meta" or "score" replaces an earlier one,
// as SpamAssassin reads them), takes every "if"/"ifplugin" block as true but
// "if !plugin(...)" and an "else" of a true block, and writes:
//   rules    a version 2 rule file: the version line, comment lines naming
//            the source (version, files, score set, scale) and the licence,
//            then one rule per imported rule: a single-line rule per name
//            spelling for a header rule, and for a meta rule that is an AND
//            ("&&") of imported header rules (also through other such metas)
//            one multi-line rule ("005", "&+" ... "&.") per combination of the
//            spellings of the names it reads. Every line of one SpamAssassin
//            rule carries its ID; IDs count up from options.first_id.
//   map      one tab-separated line per rule line written: ID, SpamAssassin
//            name, header as written ("meta" for a meta's lines), expression
//            as written (for a meta's line the sub-rule's definition), score,
//            weight, and a note (may be empty) on a clamped weight or a rare
//            difference.
//   skipped  one tab-separated line per scored rule (and per sub-rule a
//            skipped meta needed) not imported: name, file, reason.
// Weights are score x scale rounded half away from zero, clamped to the
// weight field's -99..999. A rule without a score line scores 1.0 ("T_" rules
// 0.01), as in SpamAssassin; "__" rules have no score and are imported only as
// lines of metas. Throws Failure (cli_errors.h) for a score set outside 0..3,
// a scale below 1 or a first ID below 1. Not thread-bound; no global state.
#ifndef TOOLS_SA_IMPORT_H
#define TOOLS_SA_IMPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace hdrw_cli {

struct SaTranslation {
  bool ok = false;
  std::string body;    // the pattern after "^Name:" (ok)
  std::string reason;  // why it does not translate (not ok)
  std::string note;    // a rare difference that remains (ok; may be empty)
};

struct SaImportOptions {
  int scale = 20;             // weight per SpamAssassin point: 5.0 x 20 = 100
  int score_set = 0;          // 0 no Bayes, no network tests
  int32_t first_id = 100000;  // the first rule ID written
  std::string version;        // SpamAssassin's version when the files do not state it
};

struct SaSourceFile {
  std::string name;  // as shown in the output (the file's base name)
  std::string text;
};

struct SaImportResult {
  std::string rules;
  std::string map;
  std::string skipped;
  std::string version;                      // SpamAssassin version the files require, or ""
  uint32_t imported_header = 0;             // scored header rules imported
  uint32_t imported_meta = 0;               // meta rules imported
  uint32_t rule_lines = 0;                  // lines written
  std::map<std::string, uint32_t> reasons;  // skipped scored rules by reason
};

SaTranslation sa_translate(const std::string &expr);
std::vector<std::string> sa_name_spellings(const std::string &name);
SaImportResult sa_import(const std::vector<SaSourceFile> &files, const SaImportOptions &options);

}  // namespace hdrw_cli

#endif
