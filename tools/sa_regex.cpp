// sa_regex - a Perl regex of a SpamAssassin header rule in our pattern syntax
//
// The regex is parsed into a small tree whose character sets are 256-bit
// sets (case folding, shorthand classes and negation become set operations),
// then written out in our POSIX-style syntax. "^" at the start of the value
// is resolved by writing the pattern twice when needed: once anchored right
// after "Name: " and once behind ".*" with every start anchor unable to match.
// Every written pattern is compiled with our engine before it is kept.
// (tested in tests/sa_import_test.cpp and, against Perl, by
// tests/sa_import_diff.sh)
#include "sa_regex.h"

#include <algorithm>
#include <bitset>
#include <cctype>
#include <map>
#include <optional>
#include <vector>

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
  bool line_feed = false;  // kGroup: a set or the closing line feed of the value
};

Node sa_set_of(int c) {
  Node n;
  n.kind = kSet;
  n.set.set(static_cast<size_t>(c));
  return n;
}

Node sa_seq(std::vector<Node> kids) {
  Node n;
  n.kind = kSeq;
  n.kids = std::move(kids);
  return n;
}

Node sa_repeat(Node kid, int min, int max) {
  Node n;
  n.kind = kRepeat;
  n.min = min;
  n.max = max;
  n.kids.push_back(std::move(kid));
  return n;
}

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
  // \z: SpamAssassin's values end with a line feed, which \z stands after
  bool saw_z() const { return saw_z_; }

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
    return sa_repeat(std::move(a), min, max);
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
    // Our engine takes 32 levels; deeper text is refused before it costs stack.
    if (++depth_ > 32) sa_fail("groups nested more than 32 deep");
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
    --depth_;
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
        saw_z_ = true;
        n.kind = kEol;
        return n;
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
  int depth_ = 0;  // groups open
  bool saw_z_ = false;
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

bool sa_has_backref(const Node &n) {
  if (n.kind == kBackref) return true;
  for (const Node &k : n.kids) {
    if (sa_has_backref(k)) return true;
  }
  return false;
}

bool sa_has_line_feed(const Node &n) {
  if (n.line_feed) return true;
  for (const Node &k : n.kids) {
    if (sa_has_line_feed(k)) return true;
  }
  return false;
}

// sa_strip_line_feed - the node with every set-or-line-feed group made the set
Node sa_strip_line_feed(const Node &n) {
  if (n.line_feed) return n.kids[0].kids[0];
  Node out = n;
  for (Node &k : out.kids) k = sa_strip_line_feed(k);
  return out;
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
      if (!n.set.test('\n')) {
        if (s.set.none()) return sa_never();
        return s;
      }
      // SpamAssassin's values end with a line feed, which a set holding one
      // takes at the end of the value: our line's end.
      Node end;
      end.kind = kEol;
      if (s.set.none()) return end;
      Node alt;
      alt.kind = kAlt;
      alt.kids = {s, end};
      Node group;
      group.kind = kGroup;
      group.line_feed = true;
      group.kids.push_back(alt);
      return group;
    }
    case kSeq: {
      Node out;
      out.kind = kSeq;
      StartPos p = pos;
      std::vector<bool> consumes;  // per kept part: it always takes a byte in Perl
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
        if (r.kind != kEmpty) {
          out.kids.push_back(std::move(r));
          consumes.push_back(sa_min_length(k) > 0);
        }
      }
      // The closing line feed is the value's last byte: a part followed by one
      // that takes a byte cannot take it.
      bool later = false;
      for (size_t i = out.kids.size(); i-- > 0;) {
        if (later) out.kids[i] = sa_strip_line_feed(out.kids[i]);
        later = later || consumes[i];
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
      const int more = n.max < 0 ? -1 : n.max - 1;
      if (r.kind == kEol) {
        // only the line feed: there is one, at the end
        if (n.min >= 2) return sa_never();
        return n.min == 1 ? r : sa_repeat(r, 0, 1);
      }
      if (r.line_feed) {
        // The line feed can be taken once, by the last repetition.
        const Node bytes = sa_repeat(r.kids[0].kids[0], n.min > 0 ? n.min - 1 : 0, more);
        if (n.min > 0) return sa_seq({bytes, r});
        return sa_repeat(sa_seq({bytes, r}), 0, 1);
      }
      if (sa_has_line_feed(r) && sa_min_length(r) == 0 && n.max != 1)
        sa_fail("repetition of a part that may take the closing line feed alone");
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
        if (k.kind == kEmpty || n.max == 0) return;
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

// sa_no_space - a node of one byte (a set, or a set or the value's end)
// without the space; nullopt for any other node
std::optional<Node> sa_no_space(const Node &n) {
  if (n.kind == kSet) {
    Node s = n;
    s.set.reset(' ');
    return s.set.none() ? sa_never() : s;
  }
  if (n.kind == kGroup && n.kids[0].kind == kAlt && n.kids[0].kids.size() == 2 &&
      n.kids[0].kids[0].kind == kSet && n.kids[0].kids[1].kind == kEol) {
    Node s = n.kids[0].kids[0];
    s.set.reset(' ');
    if (s.set.none()) return n.kids[0].kids[1];
    Node g = n;
    g.kids[0].kids[0] = s;
    return g;
  }
  return std::nullopt;
}

// SaNoSpace - a part rewritten so that its first byte is no space, for a
// value that begins right at the colon: what the part matches there, less the
// matches that begin with a space. Repetitions with a minimum of 0 split into
// "none" and "one, then the rest", so the work is bounded by a budget of
// nodes; a part with a back-reference is not rewritten (its copies would
// refer to groups of other copies).
struct SaNoSpace {
  int budget = 256;

  // of - n rewritten; nullopt when no rewriting is sure
  std::optional<Node> of(const Node &n) { return seq(std::vector<Node>{n}, 0); }

  // seq - kids[from..] rewritten as one sequence
  std::optional<Node> seq(const std::vector<Node> &kids, size_t from) {
    if (--budget < 0) return std::nullopt;
    if (from >= kids.size()) return sa_seq({});
    const Node &head = kids[from];
    auto rest = [&kids, from]() {
      return std::vector<Node>(kids.begin() + static_cast<std::ptrdiff_t>(from) + 1, kids.end());
    };
    auto then = [&rest](Node first, std::vector<Node> more = {}) {
      std::vector<Node> out{std::move(first)};
      for (Node &m : more) out.push_back(std::move(m));
      for (Node &r : rest()) out.push_back(std::move(r));
      return sa_seq(std::move(out));
    };
    switch (head.kind) {
      case kBol:
      case kEol:
      case kWordB:
      case kEmpty: {
        std::optional<Node> tail = seq(kids, from + 1);
        if (!tail) return std::nullopt;
        if (tail->kind == kNever) return tail;
        return sa_seq({head, *tail});
      }
      case kSeq: {
        std::vector<Node> flat = head.kids;
        for (Node &r : rest()) flat.push_back(std::move(r));
        return seq(flat, 0);
      }
      case kSet: {
        std::optional<Node> first = sa_no_space(head);
        if (first->kind == kNever) return first;
        return then(*first);
      }
      case kGroup:
      case kAlt: {
        if (head.line_feed) {
          std::optional<Node> first = sa_no_space(head);
          if (!first || first->kind == kNever) return first;
          return then(*first);
        }
        if (sa_min_length(head) == 0) return std::nullopt;
        if (head.kind == kGroup) {
          std::optional<Node> inner = of(head.kids[0]);
          if (!inner) return std::nullopt;
          if (inner->kind == kNever) return inner;
          Node g = head;
          g.kids[0] = *inner;
          return then(g);
        }
        Node alt;
        alt.kind = kAlt;
        for (const Node &branch : head.kids) {
          std::optional<Node> b = of(branch);
          if (!b) return std::nullopt;
          if (b->kind != kNever) alt.kids.push_back(*b);
        }
        if (alt.kids.empty()) return sa_never();
        Node g;
        g.kind = kGroup;
        g.kids.push_back(alt);
        return then(g);
      }
      case kRepeat: {
        const Node &x = head.kids[0];
        if (sa_min_length(x) == 0) return std::nullopt;
        std::optional<Node> first = of(x);
        if (!first) return std::nullopt;
        const int more = head.max < 0 ? -1 : head.max - 1;
        Node once = first->kind == kNever
                        ? sa_never()
                        : then(*first, {sa_repeat(x, head.min > 0 ? head.min - 1 : 0, more)});
        if (head.min > 0) return once;
        std::optional<Node> none = seq(kids, from + 1);  // no repetition at all
        if (!none) return std::nullopt;
        if (none->kind == kNever) return once;
        if (once.kind == kNever) return none;
        Node alt;
        alt.kind = kAlt;
        alt.kids = {*none, once};
        Node g;
        g.kind = kGroup;
        g.kids.push_back(alt);
        return g;
      }
      default:
        return std::nullopt;
    }
  }
};

// sa_first_no_space - u as a list of parts whose first byte is no space, for
// a value that begins right at the colon; false when that cannot be written
// for sure (an empty list: u cannot begin there)
bool sa_first_no_space(const Node &u, std::vector<Node> &parts) {
  if (sa_has_backref(u)) return false;
  SaNoSpace rewrite;
  std::optional<Node> n = rewrite.of(u);
  if (!n) return false;
  if (n->kind != kNever) parts.push_back(*n);
  return true;
}

Node sa_either(Node a, Node b) {
  Node alt;
  alt.kind = kAlt;
  alt.kids.push_back(std::move(a));
  alt.kids.push_back(std::move(b));
  Node group;
  group.kind = kGroup;
  group.kids.push_back(std::move(alt));
  return group;
}

// sa_at_start - a part anchored at the value's start, which is after the
// colon and the space the module leaves there, if any: " ?A" where A cannot
// begin with a space, else "( A|A')" with A' the same part beginning with no
// space; leading_space is set where neither form is exact
Node sa_at_start(const Node &a, bool &leading_space) {
  const Edge first = sa_edge(a, true);
  Node plain = sa_seq({sa_repeat(sa_set_of(' '), 0, 1), sa_grouped(a)});
  if (first.set && !first.set->test(' ')) return plain;
  std::vector<Node> parts;
  if (!sa_first_no_space(a, parts)) {
    leading_space = true;
    return plain;
  }
  Node spaced = sa_seq({sa_set_of(' '), sa_grouped(a)});
  if (parts.empty()) return spaced;
  return sa_either(spaced, sa_seq(parts));
}

// sa_loose - an unanchored part: ".*U", or where U may begin with a space,
// "(.+U|U')" with U' the same part whose first byte is no space (at the
// line's first byte after the colon only a value without a leading space
// begins); leading_space is set where neither form is exact
Node sa_loose(const Node &u, bool &leading_space) {
  Node dot;
  dot.kind = kSet;
  dot.set = sa_line_bytes();
  const Edge first = sa_edge(u, true);
  if (first.set && !first.set->test(' ')) return sa_seq({sa_repeat(dot, 0, -1), sa_grouped(u)});
  std::vector<Node> parts;
  if (!sa_first_no_space(u, parts)) {
    leading_space = true;
    return sa_seq({sa_repeat(dot, 0, -1), sa_grouped(u)});
  }
  Node later = sa_seq({sa_repeat(dot, 1, -1), sa_grouped(u)});
  if (parts.empty()) return later;
  return sa_either(later, sa_seq(parts));
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
    if (loose.kind == kNever && anchored.kind == kNever) sa_fail("can never match a header line");
    // The value starts after "Name:" and the one space the module leaves there,
    // if any. A part whose first byte may be a space could take that space for
    // the value's; where that can be ruled out it is, else the note says so.
    bool leading_space = false;
    Node whole;
    whole.kind = kAlt;
    if (anchored.kind != kNever && sa_has_bol(tree)) {
      whole.kids.push_back(sa_at_start(anchored, leading_space));
    }
    if (loose.kind != kNever) whole.kids.push_back(sa_loose(loose, leading_space));
    const std::string body_text =
        SaWriter().write(whole.kids.size() == 1 ? whole.kids[0] : sa_grouped(whole));
    std::string body = body_text;
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
    if (parser.saw_z()) {
      t.note += std::string(t.note.empty() ? "" : "; ") +
                "\\z read as the end of the value, not after its closing line feed";
    }
    if (leading_space) {
      t.note += std::string(t.note.empty() ? "" : "; ") +
                "may take the space after the colon for part of the value";
    }
  } catch (const SaUntranslatable &e) {
    t.ok = false;
    t.reason = e.reason;
  }
  return t;
}

}  // namespace hdrw_cli
