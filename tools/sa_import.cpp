// sa_import - SpamAssassin's header rules read and turned into our rule lines
//
// A Perl regex is parsed into a small tree whose character sets are 256-bit
// sets (case folding, shorthand classes and negation become set operations),
// then written out as our POSIX-style syntax. "^" at the start of the value
// is resolved by writing the pattern twice when needed: once anchored right
// after "Name: " and once behind ".*" with every start anchor unable to match.
// Every written pattern is compiled with our engine before it is kept.
// (tested in tests/sa_import_test.cpp and, against Perl, by
// tests/sa_import_diff.sh)
#include "sa_import.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>

#include "cli_errors.h"
#include "regx.h"

namespace hdrw_cli {
namespace {

using ByteSet = std::bitset<256>;

// sa_untranslatable - a regex or rule that cannot be imported, with the reason
struct SaUntranslatable {
  std::string reason;
};

[[noreturn]] void sa_fail(const std::string &reason) { throw SaUntranslatable{reason}; }

enum NodeKind { kSet, kSeq, kAlt, kGroup, kRepeat, kBol, kEol, kWordB, kBackref, kEmpty, kNever };

struct Node {
  NodeKind kind = kEmpty;
  ByteSet set;             // kSet
  std::vector<Node> kids;  // kSeq, kAlt; kGroup and kRepeat hold one
  int min = 0, max = -1;   // kRepeat; max -1 = no upper bound
  int capture = 0;         // kGroup: the Perl group number, 0 = not capturing
  int ref = 0;             // kBackref: the Perl group number
};

bool sa_is_word(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

ByteSet sa_range(int from, int to) {
  ByteSet s;
  for (int c = from; c <= to; ++c) s.set(static_cast<size_t>(c));
  return s;
}

ByteSet sa_word_set() {
  ByteSet s;
  for (int c = 0; c < 256; ++c) {
    if (sa_is_word(c)) s.set(static_cast<size_t>(c));
  }
  return s;
}

ByteSet sa_space_set() {  // Perl's \s on bytes: \t \n \v \f \r and space
  ByteSet s = sa_range(9, 13);
  s.set(' ');
  return s;
}

ByteSet sa_fold(ByteSet s) {
  for (int c = 'a'; c <= 'z'; ++c) {
    const size_t lower = static_cast<size_t>(c), upper = static_cast<size_t>(c - 32);
    if (s.test(lower) || s.test(upper)) {
      s.set(lower);
      s.set(upper);
    }
  }
  return s;
}

// sa_posix_class - [:name:] inside a Perl class, ASCII only as Perl reads bytes
ByteSet sa_posix_class(const std::string &name) {
  if (name == "alpha") return sa_range('a', 'z') | sa_range('A', 'Z');
  if (name == "digit") return sa_range('0', '9');
  if (name == "alnum") return sa_range('a', 'z') | sa_range('A', 'Z') | sa_range('0', '9');
  if (name == "upper") return sa_range('A', 'Z');
  if (name == "lower") return sa_range('a', 'z');
  if (name == "space") return sa_space_set();
  if (name == "blank") return sa_range(9, 9) | sa_range(' ', ' ');
  if (name == "punct")
    return sa_range(33, 47) | sa_range(58, 64) | sa_range(91, 96) | sa_range(123, 126);
  if (name == "print") return sa_range(32, 126);
  if (name == "graph") return sa_range(33, 126);
  if (name == "cntrl") return sa_range(0, 31) | sa_range(127, 127);
  if (name == "xdigit") return sa_range('0', '9') | sa_range('a', 'f') | sa_range('A', 'F');
  if (name == "word") return sa_word_set();
  sa_fail("unknown POSIX class [:" + name + ":]");
}

int sa_hex(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// SaParser - Perl regex text to a tree; flags i and x apply as Perl scopes them
class SaParser {
 public:
  SaParser(std::string text, bool icase, bool extended)
      : text_(std::move(text)), icase_(icase), extended_(extended) {}

  Node parse() {
    Node n = alternation();
    if (pos_ < text_.size()) sa_fail("unmatched )");
    return n;
  }
  int captures() const { return captures_; }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  int peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? static_cast<unsigned char>(text_[pos_ + ahead]) : -1;
  }

  void skip_extended() {
    while (extended_ && !at_end()) {
      const int c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '#') {
        while (!at_end() && peek() != '\n') ++pos_;
      } else {
        break;
      }
    }
  }

  Node alternation() {
    std::vector<Node> branches;
    branches.push_back(sequence());
    while (peek() == '|') {
      ++pos_;
      branches.push_back(sequence());
    }
    if (branches.size() == 1) return branches[0];
    Node n;
    n.kind = kAlt;
    n.kids = std::move(branches);
    return n;
  }

  Node sequence() {
    Node seq;
    seq.kind = kSeq;
    for (;;) {
      skip_extended();
      if (at_end() || peek() == '|' || peek() == ')') break;
      std::optional<Node> atom_node = atom();
      if (!atom_node) continue;  // a comment or a flag group
      Node a = std::move(*atom_node);
      skip_extended();
      a = quantified(std::move(a));
      seq.kids.push_back(std::move(a));
    }
    return seq;
  }

  bool read_number(int &value) {
    const size_t start = pos_;
    long v = 0;
    while (peek() >= '0' && peek() <= '9') {
      v = v * 10 + (peek() - '0');
      if (v > 100000) v = 100000;
      ++pos_;
    }
    value = static_cast<int>(v);
    return pos_ > start;
  }

  // quantified - the atom with the quantifier that follows it, if any
  Node quantified(Node a) {
    int min = -1, max = -1;
    const int c = peek();
    if (c == '*') {
      min = 0;
      ++pos_;
    } else if (c == '+') {
      min = 1;
      ++pos_;
    } else if (c == '?') {
      min = 0;
      max = 1;
      ++pos_;
    } else if (c == '{') {
      const size_t save = pos_;
      ++pos_;
      int lo = 0, hi = -1;
      const bool has_lo = read_number(lo);
      bool ok = true;
      if (peek() == ',') {
        ++pos_;
        if (!read_number(hi)) hi = -1;
        if (!has_lo && hi < 0) ok = false;
      } else {
        hi = lo;
        if (!has_lo) ok = false;
      }
      if (ok && peek() == '}') {
        ++pos_;
        min = lo;
        max = hi;
      } else {
        pos_ = save;  // a literal "{", as Perl reads it
      }
    }
    if (min < 0) return a;
    if (peek() == '?') {
      ++pos_;  // lazy: the same match / no-match answer
    } else if (peek() == '+') {
      sa_fail("possessive quantifier");
    }
    if (peek() == '*' || peek() == '+' || peek() == '?') sa_fail("nested quantifiers");
    if (max >= 0 && max < min) sa_fail("quantifier {m,n} with n below m");
    if (min > REGX_DUP_MAX || max > REGX_DUP_MAX) sa_fail("repetition count over 255");
    if (a.kind == kBol || a.kind == kEol || a.kind == kWordB) sa_fail("quantified anchor");
    Node r;
    r.kind = kRepeat;
    r.min = min;
    r.max = max;
    r.kids.push_back(std::move(a));
    return r;
  }

  Node set_node(ByteSet s) {
    Node n;
    n.kind = kSet;
    n.set = icase_ ? sa_fold(s) : s;
    return n;
  }

  std::optional<Node> atom() {
    const int c = peek();
    ++pos_;
    switch (c) {
      case '(':
        return group();
      case '[':
        return set_node(bracket());
      case '.': {
        ByteSet all;
        all.set();
        all.reset('\n');
        Node n;
        n.kind = kSet;
        n.set = all;
        return n;
      }
      case '^': {
        Node n;
        n.kind = kBol;
        return n;
      }
      case '$': {
        Node n;
        n.kind = kEol;
        return n;
      }
      case '\\':
        return escape();
      case '*':
      case '+':
      case '?':
        sa_fail("quantifier follows nothing");
      default: {
        ByteSet s;
        s.set(static_cast<size_t>(c));
        return set_node(s);
      }
    }
  }

  // group - after "(": a capturing group, "(?:...)", "(?i)", "(?i:...)", "(?#...)"
  std::optional<Node> group() {
    Node g;
    g.kind = kGroup;
    const bool saved_icase = icase_, saved_extended = extended_;
    if (peek() == '?') {
      ++pos_;
      const int c = peek();
      if (c == '#') {
        while (!at_end() && peek() != ')') ++pos_;
        if (at_end()) sa_fail("unterminated (?#");
        ++pos_;
        return std::nullopt;
      }
      if (c == '=' || c == '!') sa_fail("look-ahead");
      if (c == '<' && (peek(1) == '=' || peek(1) == '!')) sa_fail("look-behind");
      bool on = true, any = false;
      while (!at_end() && peek() != ':' && peek() != ')') {
        const int f = peek();
        if (f == '-') {
          on = false;
        } else if (f == 'i') {
          icase_ = on;
        } else if (f == 'x') {
          extended_ = on;
        } else if (f == 's' || f == 'm') {
          // "." never meets a line feed and "^ $" read one line either way
        } else {
          sa_fail(std::string("group construct (?") + static_cast<char>(c));
        }
        any = true;
        ++pos_;
      }
      if (at_end()) sa_fail("unterminated group");
      if (peek() == ')') {
        ++pos_;
        if (!any) sa_fail("empty (?) group");
        return std::nullopt;  // flags stay set to the end of the enclosing group
      }
      ++pos_;  // ':'
    } else {
      g.capture = ++captures_;
    }
    g.kids.push_back(alternation());
    if (peek() != ')') sa_fail("unterminated group");
    ++pos_;
    icase_ = saved_icase;
    extended_ = saved_extended;
    return g;
  }

  // escaped_byte - the byte of \t \n \r \f \e \a \xHH \x{HH} \0oo, or -1
  int escaped_byte(int c) {
    switch (c) {
      case 't':
        return '\t';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 'f':
        return '\f';
      case 'e':
        return 0x1B;
      case 'a':
        return 0x07;
      case 'x': {
        int v = 0;
        if (peek() == '{') {
          ++pos_;
          while (!at_end() && peek() != '}') {
            const int h = sa_hex(peek());
            if (h < 0) sa_fail("bad \\x{...}");
            v = v * 16 + h;
            if (v > 255) sa_fail("character above 0xFF");
            ++pos_;
          }
          if (at_end()) sa_fail("unterminated \\x{");
          ++pos_;
          return v;
        }
        for (int i = 0; i < 2 && sa_hex(peek()) >= 0; ++i) {
          v = v * 16 + sa_hex(peek());
          ++pos_;
        }
        return v;
      }
      case '0': {
        int v = 0;
        for (int i = 0; i < 2 && peek() >= '0' && peek() <= '7'; ++i) {
          v = v * 8 + (peek() - '0');
          ++pos_;
        }
        return v;
      }
      default:
        return -1;
    }
  }

  // shorthand - the set of \d \w \s \h and their negations, or nullopt
  static std::optional<ByteSet> shorthand(int c) {
    ByteSet s;
    switch (c) {
      case 'd':
      case 'D':
        s = sa_range('0', '9');
        break;
      case 'w':
      case 'W':
        s = sa_word_set();
        break;
      case 's':
      case 'S':
        s = sa_space_set();
        break;
      case 'h':
      case 'H':
        s = sa_range(9, 9) | sa_range(' ', ' ');
        break;
      default:
        return std::nullopt;
    }
    if (c >= 'A' && c <= 'Z') s.flip();
    return s;
  }

  std::optional<Node> escape() {
    if (at_end()) sa_fail("trailing backslash");
    const int c = peek();
    ++pos_;
    if (std::optional<ByteSet> s = shorthand(c)) {
      Node n;
      n.kind = kSet;
      n.set = *s;
      return n;
    }
    const int byte = escaped_byte(c);
    if (byte >= 0) {
      ByteSet s;
      s.set(static_cast<size_t>(byte));
      return set_node(s);
    }
    Node n;
    switch (c) {
      case 'b':
        n.kind = kWordB;
        return n;
      case 'A':
        n.kind = kBol;
        return n;
      case 'z':
      case 'Z':
        n.kind = kEol;
        return n;
      case 'B':
        sa_fail("\\B");
      default:
        break;
    }
    if (c >= '1' && c <= '9') {
      if (peek() >= '0' && peek() <= '9') sa_fail("back-reference above 9");
      if (icase_) sa_fail("back-reference under /i");
      if (c - '0' > captures_) sa_fail("back-reference to a later group");
      n.kind = kBackref;
      n.ref = c - '0';
      return n;
    }
    if (sa_is_word(c)) sa_fail(std::string("escape \\") + static_cast<char>(c));
    ByteSet s;
    s.set(static_cast<size_t>(c));
    return set_node(s);
  }

  // bracket - after "[": the set of a Perl class
  ByteSet bracket() {
    bool negate = false;
    if (peek() == '^') {
      negate = true;
      ++pos_;
    }
    ByteSet s;
    bool first = true;
    for (;;) {
      if (at_end()) sa_fail("unterminated class");
      int c = peek();
      if (c == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      // One member: a byte (a possible range start) or a set.
      int lo = -1;
      if (c == '[' && peek(1) == ':') {
        const size_t close = text_.find(":]", pos_ + 2);
        if (close == std::string::npos) sa_fail("unterminated [: class");
        std::string name = text_.substr(pos_ + 2, close - pos_ - 2);
        const bool neg = !name.empty() && name[0] == '^';
        ByteSet p = sa_posix_class(neg ? name.substr(1) : name);
        s |= neg ? ~p : p;
        pos_ = close + 2;
        continue;
      }
      ++pos_;
      if (c == '\\') {
        if (at_end()) sa_fail("unterminated class");
        const int e = peek();
        ++pos_;
        if (std::optional<ByteSet> sh = shorthand(e)) {
          s |= *sh;
          continue;
        }
        lo = e == 'b' ? 0x08 : escaped_byte(e);
        if (lo < 0) {
          if (sa_is_word(e))
            sa_fail(std::string("escape \\") + static_cast<char>(e) + " in a class");
          lo = e;
        }
      } else {
        lo = c;
      }
      int hi = lo;
      if (peek() == '-' && peek(1) != ']' && peek(1) >= 0) {
        const size_t save = pos_;
        ++pos_;
        int e = peek();
        ++pos_;
        if (e == '\\') {
          const int x = peek();
          ++pos_;
          if (shorthand(x)) {
            pos_ = save;  // "a-\d": the "-" is a member
            e = -1;
          } else {
            e = x == 'b' ? 0x08 : escaped_byte(x);
            if (e < 0) {
              if (sa_is_word(x))
                sa_fail(std::string("escape \\") + static_cast<char>(x) + " in a class");
              e = x;
            }
          }
        } else if (e == '[' && peek() == ':') {
          pos_ = save;
          e = -1;
        }
        if (e >= 0) {
          if (e < lo) sa_fail("invalid range in a class");
          hi = e;
        }
      }
      s |= sa_range(lo, hi);
    }
    if (icase_) s = sa_fold(s);
    if (negate) s.flip();
    return s;
  }

  std::string text_;
  size_t pos_ = 0;
  bool icase_;
  bool extended_;
  int captures_ = 0;
};

// ---- resolving anchors, sets and word boundaries --------------------------

int sa_min_length(const Node &n) {
  switch (n.kind) {
    case kSet:
      return 1;
    case kSeq: {
      int total = 0;
      for (const Node &k : n.kids) total += sa_min_length(k);
      return total;
    }
    case kAlt: {
      int best = -1;
      for (const Node &k : n.kids) {
        const int m = sa_min_length(k);
        if (best < 0 || m < best) best = m;
      }
      return best < 0 ? 0 : best;
    }
    case kGroup:
      return sa_min_length(n.kids[0]);
    case kRepeat:
      return n.min * sa_min_length(n.kids[0]);
    case kNever:
      return 1;
    default:
      return 0;
  }
}

bool sa_has_bol(const Node &n) {
  if (n.kind == kBol) return true;
  for (const Node &k : n.kids) {
    if (sa_has_bol(k)) return true;
  }
  return false;
}

bool sa_zero_width(const Node &n) {
  switch (n.kind) {
    case kBol:
    case kEol:
    case kWordB:
    case kEmpty:
      return true;
    case kSeq:
    case kAlt:
    case kGroup:
      return std::all_of(n.kids.begin(), n.kids.end(), sa_zero_width);
    default:
      return false;
  }
}

enum StartPos { kAtStart, kAfterStart, kMaybeStart };

Node sa_never() {
  Node n;
  n.kind = kNever;
  return n;
}

// sa_line_set - a set as it meets our header lines: the module turns white
// space into spaces and deletes other control bytes, so those never occur
ByteSet sa_line_set(ByteSet s, bool &tab_as_space) {
  if ((s.test('\t') || s.test('\r') || s.test('\v') || s.test('\f')) && !s.test(' ')) {
    s.set(' ');
    tab_as_space = true;
  }
  for (int c = 0; c < 32; ++c) s.reset(static_cast<size_t>(c));
  s.reset(127);
  return s;
}

// sa_resolve - the tree with start anchors decided (anchored: they match
// where nothing was consumed; otherwise they never match), sets cut to the
// bytes of a header line, and never-matching parts pruned
Node sa_resolve(const Node &n, bool anchored, StartPos pos, bool &tab_as_space) {
  switch (n.kind) {
    case kBol:
      if (pos == kAtStart) {
        Node e;
        e.kind = anchored ? kEmpty : kNever;
        return e;
      }
      if (pos == kAfterStart) return sa_never();
      sa_fail("start anchor after an optional part");
    case kSet: {
      Node s = n;
      s.set = sa_line_set(n.set, tab_as_space);
      if (s.set.none()) return sa_never();
      return s;
    }
    case kSeq: {
      Node out;
      out.kind = kSeq;
      StartPos p = pos;
      for (const Node &k : n.kids) {
        Node r = sa_resolve(k, anchored, p, tab_as_space);
        if (r.kind == kNever) return sa_never();
        if (!sa_zero_width(k)) {
          if (sa_min_length(k) > 0) {
            p = kAfterStart;
          } else if (p == kAtStart) {
            p = kMaybeStart;
          }
        }
        if (r.kind != kEmpty) out.kids.push_back(std::move(r));
      }
      if (out.kids.empty()) {
        Node e;
        e.kind = kEmpty;
        return e;
      }
      return out;
    }
    case kAlt: {
      Node out;
      out.kind = kAlt;
      for (const Node &k : n.kids) {
        Node r = sa_resolve(k, anchored, pos, tab_as_space);
        if (r.kind != kNever) out.kids.push_back(std::move(r));
      }
      if (out.kids.empty()) return sa_never();
      if (out.kids.size() == 1) return out.kids[0];
      return out;
    }
    case kGroup: {
      Node r = sa_resolve(n.kids[0], anchored, pos, tab_as_space);
      if (r.kind == kNever) return r;
      Node g = n;
      g.kids[0] = std::move(r);
      return g;
    }
    case kRepeat: {
      if (sa_has_bol(n.kids[0]) && !(n.max == 1)) sa_fail("start anchor inside a repetition");
      if (n.max == 0) {
        Node e;
        e.kind = kEmpty;
        return e;
      }
      Node r = sa_resolve(n.kids[0], anchored, pos, tab_as_space);
      if (r.kind == kNever) {
        if (n.min > 0) return r;
        Node e;
        e.kind = kEmpty;
        return e;
      }
      Node out = n;
      out.kids[0] = std::move(r);
      return out;
    }
    default:
      return n;
  }
}

// First and last byte sets for deciding "\b"; nullopt when unknown. A start
// or end of the value counts as an empty set (a non-word side).
struct Edge {
  std::optional<ByteSet> set;
  bool passes = false;  // the node may match nothing, so the next one decides too
};

Edge sa_edge(const Node &n, bool first);

Edge sa_edge_run(const std::vector<Node> &kids, size_t from, size_t to, bool first) {
  Edge e;
  e.set = ByteSet();
  e.passes = true;
  for (size_t i = 0; i < to - from; ++i) {
    const Node &k = first ? kids[from + i] : kids[to - 1 - i];
    if (k.kind == kWordB) continue;
    Edge ke = sa_edge(k, first);
    if (!ke.set) return Edge{};
    *e.set |= *ke.set;
    if (!ke.passes) {
      e.passes = false;
      return e;
    }
  }
  return e;
}

Edge sa_edge(const Node &n, bool first) {
  switch (n.kind) {
    case kSet:
      return Edge{n.set, false};
    case kEmpty:
      return Edge{ByteSet(), true};
    case kBol:
      return first ? Edge{ByteSet(), true} : Edge{ByteSet(), false};
    case kEol:
      return first ? Edge{ByteSet(), false} : Edge{ByteSet(), true};
    case kGroup:
      return sa_edge(n.kids[0], first);
    case kSeq:
      return sa_edge_run(n.kids, 0, n.kids.size(), first);
    case kAlt: {
      Edge e{ByteSet(), false};
      for (const Node &k : n.kids) {
        Edge ke = sa_edge(k, first);
        if (!ke.set) return Edge{};
        *e.set |= *ke.set;
        e.passes = e.passes || ke.passes;
      }
      return e;
    }
    case kRepeat: {
      Edge e = sa_edge(n.kids[0], first);
      if (n.min == 0) e.passes = true;
      return e;
    }
    default:
      return Edge{};
  }
}

// ---- writing our syntax ---------------------------------------------------

bool sa_special(int c) {
  switch (c) {
    case '.':
    case '[':
    case ']':
    case '(':
    case ')':
    case '*':
    case '+':
    case '?':
    case '{':
    case '}':
    case '|':
    case '^':
    case '$':
    case '\\':
      return true;
    default:
      return false;
  }
}

ByteSet sa_line_bytes() { return sa_range(32, 126) | sa_range(128, 255); }

// sa_write_set - a set as a literal, "." or a bracket expression
std::string sa_write_set(const ByteSet &s) {
  const ByteSet all = sa_line_bytes();
  const ByteSet members = s & all;
  if (members == all) return ".";
  if (members.count() == 1) {
    for (int c = 0; c < 256; ++c) {
      if (members.test(static_cast<size_t>(c))) {
        std::string out;
        if (sa_special(c)) out += '\\';
        out += static_cast<char>(c);
        return out;
      }
    }
  }
  const ByteSet complement = all & ~members;
  const bool negate = complement.count() < members.count();
  const ByteSet list = negate ? complement : members;
  std::string body;
  bool close = false, dash = false, caret = false;
  for (int c = 0; c < 256;) {
    if (!list.test(static_cast<size_t>(c))) {
      ++c;
      continue;
    }
    int end = c;
    while (end + 1 < 256 && list.test(static_cast<size_t>(end + 1)) && end + 1 != ']' &&
           end + 1 != '-' && end + 1 != '^' && c != ']' && c != '-' && c != '^') {
      ++end;
    }
    if (c == ']') {
      close = true;
    } else if (c == '-') {
      dash = true;
    } else if (c == '^') {
      caret = true;
    } else if (end - c >= 2) {
      body += static_cast<char>(c);
      body += '-';
      body += static_cast<char>(end);
    } else {
      for (int x = c; x <= end; ++x) body += static_cast<char>(x);
    }
    c = end + 1;
  }
  std::string out = negate ? "[^" : "[";
  if (close) out += ']';
  out += body;
  if (!close && body.empty()) {
    // only "^" and "-": the dash first, where it is a member
    if (dash) out += '-';
    if (caret) out += '^';
  } else {
    if (caret) out += '^';  // not first: a "]" or another member comes before it
    if (dash) out += '-';
  }
  out += ']';
  return out;
}

class SaWriter {
 public:
  std::string write(const Node &n) {
    std::string out;
    emit(n, out);
    return out;
  }

 private:
  void emit_seq(const std::vector<Node> &kids, std::string &out) {
    for (size_t i = 0; i < kids.size(); ++i) {
      const Node &k = kids[i];
      if (k.kind != kWordB) {
        emit(k, out);
        continue;
      }
      const ByteSet word = sa_word_set();
      Edge after = sa_edge_run(kids, i + 1, kids.size(), true);
      Edge before = sa_edge_run(kids, 0, i, false);
      if (after.set && !after.passes && (*after.set & ~word).none() && after.set->any()) {
        out += "\\<";
      } else if (after.set && !after.passes && (*after.set & word).none()) {
        out += "\\>";
      } else if (before.set && !before.passes && (*before.set & ~word).none() &&
                 before.set->any()) {
        out += "\\>";
      } else if (before.set && !before.passes && (*before.set & word).none()) {
        out += "\\<";
      } else {
        sa_fail("\\b between characters of both kinds");
      }
    }
  }

  void emit(const Node &n, std::string &out) {
    switch (n.kind) {
      case kSet:
        out += sa_write_set(n.set);
        return;
      case kSeq:
        emit_seq(n.kids, out);
        return;
      case kAlt:
        for (size_t i = 0; i < n.kids.size(); ++i) {
          if (i > 0) out += '|';
          emit(n.kids[i], out);
        }
        return;
      case kGroup: {
        const int number = ++groups_;
        if (n.capture > 0) captures_[n.capture] = number;
        out += '(';
        if (n.kids[0].kind == kEmpty) {
          out += '|';
        } else {
          emit(n.kids[0], out);
        }
        out += ')';
        return;
      }
      case kRepeat: {
        if (n.min == 1 && n.max == 1) {
          emit(n.kids[0], out);
          return;
        }
        const Node &k = n.kids[0];
        if (k.kind == kEmpty) return;
        if (k.kind == kWordB) sa_fail("quantified anchor");
        if (k.kind == kSet || k.kind == kGroup || k.kind == kBackref) {
          emit(k, out);
        } else {
          ++groups_;
          out += '(';
          emit(k, out);
          out += ')';
        }
        if (n.min == 0 && n.max < 0) {
          out += '*';
        } else if (n.min == 1 && n.max < 0) {
          out += '+';
        } else if (n.min == 0 && n.max == 1) {
          out += '?';
        } else if (n.max < 0) {
          out += '{' + std::to_string(n.min) + ",}";
        } else if (n.max == n.min) {
          out += '{' + std::to_string(n.min) + '}';
        } else {
          out += '{' + std::to_string(n.min) + ',' + std::to_string(n.max) + '}';
        }
        return;
      }
      case kEol:
        out += '$';
        return;
      case kBackref: {
        auto it = captures_.find(n.ref);
        if (it == captures_.end()) sa_fail("back-reference to a group that cannot match");
        if (it->second > 9) sa_fail("back-reference to group 10 or later");
        out += '\\';
        out += static_cast<char>('0' + it->second);
        return;
      }
      case kWordB:
        emit_seq(std::vector<Node>{n}, out);
        return;
      case kEmpty:
        return;
      default:
        sa_fail("internal: unresolved node");
    }
  }

  int groups_ = 0;
  std::map<int, int> captures_;
};

// sa_grouped - an alternation in a group, so that it stays behind "^Name:"
Node sa_grouped(const Node &n) {
  if (n.kind != kAlt) return n;
  Node g;
  g.kind = kGroup;
  g.kids.push_back(n);
  return g;
}

// sa_split_expr - "/re/flags", "m{re}flags", "m!re!flags" into regex and flags
bool sa_split_expr(const std::string &expr, std::string &re, std::string &flags) {
  size_t at = 0;
  if (expr.empty()) return false;
  char open = expr[0];
  if (open == 'm' && expr.size() > 1) {
    at = 1;
    open = expr[1];
  } else if (open != '/') {
    return false;
  }
  if (std::isalnum(static_cast<unsigned char>(open)) ||
      std::isspace(static_cast<unsigned char>(open)))
    return false;
  char close = open;
  if (open == '{') close = '}';
  if (open == '(') close = ')';
  if (open == '[') close = ']';
  if (open == '<') close = '>';
  int depth = 0;
  size_t i = at + 1;
  for (; i < expr.size(); ++i) {
    const char c = expr[i];
    if (c == '\\' && i + 1 < expr.size()) {
      ++i;
      continue;
    }
    if (c == open && open != close) {
      ++depth;
    } else if (c == close) {
      if (depth == 0) break;
      --depth;
    }
  }
  if (i >= expr.size()) return false;
  re = expr.substr(at + 1, i - at - 1);
  if (open != '/' || close != '/') {
    // an escaped delimiter stands for itself
  }
  flags = expr.substr(i + 1);
  return true;
}

}  // namespace

// sa_translate - one Perl match expression into the pattern after "^Name:"
SaTranslation sa_translate(const std::string &expr) {
  SaTranslation t;
  try {
    std::string re, flags;
    if (!sa_split_expr(expr, re, flags)) sa_fail("not a /regex/ expression");
    bool icase = false, extended = false;
    for (char f : flags) {
      if (f == 'i') {
        icase = true;
      } else if (f == 'x') {
        extended = true;
      } else if (f != 'm' && f != 's' && f != 'o') {
        sa_fail(std::string("flag ") + f);
      }
    }
    SaParser parser(re, icase, extended);
    const Node tree = parser.parse();
    bool tab_as_space = false;
    const Node anchored = sa_resolve(tree, true, kAtStart, tab_as_space);
    const Node loose = sa_resolve(tree, false, kAtStart, tab_as_space);
    std::string body;
    if (loose.kind == kNever && anchored.kind == kNever) sa_fail("can never match a header line");
    if (loose.kind == kNever) {
      body = " ?" + SaWriter().write(sa_grouped(anchored));
    } else if (!sa_has_bol(tree)) {
      body = ".*" + SaWriter().write(sa_grouped(loose));
    } else {
      // Both: the pattern is written twice, each copy numbering its own groups.
      SaWriter writer;
      Node both;
      both.kind = kAlt;
      both.kids.push_back(anchored);
      Node tail;
      tail.kind = kSeq;
      ByteSet any = sa_line_bytes();
      Node dot;
      dot.kind = kSet;
      dot.set = any;
      Node star;
      star.kind = kRepeat;
      star.min = 0;
      star.kids.push_back(dot);
      tail.kids.push_back(star);
      tail.kids.push_back(loose);
      both.kids.push_back(tail);
      Node group;
      group.kind = kGroup;
      group.kids.push_back(both);
      body = " ?" + writer.write(group);
    }
    // Trim a trailing ".*" that adds nothing but work.
    while (body.size() >= 2 && body.compare(body.size() - 2, 2, ".*") == 0 &&
           (body.size() < 3 || body[body.size() - 3] != '\\')) {
      body.resize(body.size() - 2);
    }
    RegxPattern compiled{};
    const std::string probe = "^X:" + body;
    const int rc = regx_compile(&compiled, probe.c_str(), REGX_EXTENDED);
    if (rc == REGX_OK) regx_free(&compiled);
    if (rc != REGX_OK)
      sa_fail("our engine refuses the translation (regx code " + std::to_string(rc) + ")");
    t.ok = true;
    t.body = body;
    if (tab_as_space) t.note = "a tab or other white space byte reads as a space";
  } catch (const SaUntranslatable &e) {
    t.ok = false;
    t.reason = e.reason;
  }
  return t;
}

// sa_acronym - a part of a header name that mail software writes in capitals
static bool sa_acronym(std::string part) {
  for (char &c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return part.size() <= 2 || part == "mime" || part == "php";
}

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
  std::vector<std::string> out{name, join(0), join(1), join(2)};
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
};

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
    return true;
  }

  // meta_lines - the header rules an AND-only meta needs, or the reason
  bool meta_lines(const SaRule &rule, std::vector<SaLine> &lines, std::string &reason, int depth) {
    if (depth > 16) {
      reason = "meta nesting too deep";
      return false;
    }
    const std::string &expr = rule.definition;
    std::vector<std::string> names;
    for (size_t i = 0; i < expr.size();) {
      const char c = expr[i];
      if (std::isspace(static_cast<unsigned char>(c)) || c == '(' || c == ')') {
        ++i;
      } else if (expr.compare(i, 2, "&&") == 0) {
        i += 2;
      } else if (expr.compare(i, 2, "||") == 0) {
        reason = "meta with OR";
        return false;
      } else if (c == '!') {
        reason = "meta with NOT";
        return false;
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t j = i;
        while (j < expr.size() &&
               (std::isalnum(static_cast<unsigned char>(expr[j])) || expr[j] == '_'))
          ++j;
        names.push_back(expr.substr(i, j - i));
        i = j;
      } else {
        reason = "meta with arithmetic or comparison";
        return false;
      }
    }
    if (names.empty()) {
      reason = "empty meta";
      return false;
    }
    for (const std::string &n : names) {
      auto it = config.rules.find(n);
      if (it == config.rules.end()) {
        reason = "meta uses " + n + ", which is not defined";
        return false;
      }
      const SaRule &sub = it->second;
      std::string why;
      if (sub.kind == kMetaRule) {
        if (!meta_lines(sub, lines, why, depth + 1)) {
          reason = "meta uses " + n + ": " + why;
          return false;
        }
      } else if (sub.kind == kHeaderRule) {
        SaLine l;
        if (!header_line(sub, l, why)) {
          reason = "meta uses " + n + ": " + why;
          return false;
        }
        const bool seen = std::any_of(lines.begin(), lines.end(),
                                      [&l](const SaLine &x) { return x.rule == l.rule; });
        if (!seen) lines.push_back(l);
      } else {
        reason = "meta uses " + n + ", a " + sub.type + " rule";
        return false;
      }
    }
    return true;
  }
};

std::string sa_lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

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
    const size_t cut = reason.find_first_of(":,(");
    std::string category = sa_trim(reason.substr(0, cut));
    if (category.compare(0, 10, "meta uses ") == 0)
      category = "meta uses a rule that is not imported";
    if (category.compare(0, 15, "pseudo-header X") == 0) category = "pseudo-header X-Spam-Relays-*";
    if (category.compare(0, 16, "header modifier ") == 0)
      category = "header modifier :addr, :name etc.";
    ++result.reasons[category];
  };

  for (const SaRule *rule : ordered) {
    if (rule->name.compare(0, 2, "__") == 0) continue;
    double score = rule->name.compare(0, 2, "T_") == 0 ? 0.01 : 1.0;
    auto sc = config.scores.find(rule->name);
    if (sc != config.scores.end()) {
      const std::vector<double> &v = sc->second;
      score = v.size() >= 4 ? v[static_cast<size_t>(options.score_set)] : v[0];
    }
    if (score == 0) {
      skip(*rule, "score 0 in set " + std::to_string(options.score_set));
      continue;
    }
    long weight = std::lround(score * options.scale);
    if (weight == 0) {
      skip(*rule, "weight rounds to 0 (score " + sa_format_score(score) + ")");
      continue;
    }
    std::string note;
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
        const SaRule &source = config.rules.at(l.rule);
        std::string line_note = note;
        if (!l.note.empty()) line_note += (line_note.empty() ? "" : "; ") + l.note;
        if (rule->kind == kMetaRule) {
          result.map += std::to_string(rule_id) + '\t' + rule->name + "\tmeta\t" +
                        sa_tsv_field(source.name + " " + source.header + " " + source.op + " " +
                                     source.expr) +
                        '\t' + score_text + '\t' + std::to_string(weight) + '\t' + line_note + '\n';
        } else {
          result.map += std::to_string(rule_id) + '\t' + rule->name + '\t' +
                        sa_tsv_field(source.header) + '\t' + sa_tsv_field(source.expr) + '\t' +
                        score_text + '\t' + std::to_string(weight) + '\t' + line_note + '\n';
        }
        ++result.rule_lines;
      }
    }
    if (multi) {
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
          std::to_string(result.imported_meta) + " meta rules in " +
          std::to_string(result.rule_lines) + " rule lines\n";
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
