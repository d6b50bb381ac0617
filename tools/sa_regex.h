// sa_regex - a Perl regex of a SpamAssassin header rule in our pattern syntax
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
// space, so "\t" and white-space classes read as that space. SpamAssassin
// ends every value with a line feed, so a set that holds one ("\s", "\W",
// "[^x]", "\n") also matches at the end of the line, once. The value begins
// after the colon and the one space the module may leave there: a part that
// could take that space is rewritten to begin with no space where the value
// begins at the colon. Anything else fails with a one-line reason: look-around, "\B",
// possessive quantifiers, counts over 255, named groups, unknown escapes.
// result.note names a rare way in which the answer can still differ ("\z" is
// read as the end of the value, where Perl sees it after SpamAssassin's
// closing line feed; a part that may begin with a space may take the space
// after the colon for the value's).
//
// Not thread-bound; no global state; throws only for lack of memory.
#ifndef TOOLS_SA_REGEX_H
#define TOOLS_SA_REGEX_H

#include <string>

namespace hdrw_cli {

struct SaTranslation {
  bool ok = false;
  std::string body;    // the pattern after "^Name:" (ok)
  std::string reason;  // why it does not translate (not ok)
  std::string note;    // a rare difference that remains (ok; may be empty)
};

SaTranslation sa_translate(const std::string &expr);

}  // namespace hdrw_cli

#endif
