// regx_compile - recursive-descent compiler from pattern text to node program.
// Every parse routine returns 0 or a result code and builds a fragment (first
// and last node of a list); an error at any depth unwinds to regx_compile,
// which releases the whole arena. Literal pieces merge into RX_STRING nodes of
// at most 255 bytes; a merged character's node goes onto a spare list and is
// reused by the next allocation. The working state lives in the call.
// Tests: tests/regx_test.cpp.
#include <string.h>

#include "regx.h"
#include "regx_internal.h"
#include "tlvpr_mem.h"

namespace {

enum RegxEnded { RX_ENDED_NONE, RX_ENDED_PATTERN, RX_ENDED_PAREN, RX_ENDED_BAR };

enum RegxAtomType { RX_ATOM_TERM, RX_ATOM_LITERAL, RX_ATOM_ANCHOR, RX_ATOM_GROUP, RX_ATOM_OTHER };

enum { RX_STRING_MAX = 255 };

// Deepest group nesting compiled. Every group saves and clears each group
// inside it, so a pattern's program grows with its length times its depth;
// the bound keeps one rule line from taking memory with the square of its
// length, and the parser's recursion shallow.
enum { RX_NEST_MAX = 32 };

struct RegxFrag {
  RegxNode *first;  // first node of the list
  RegxNode *last;   // node whose next links to what follows
};

struct RegxAtom {
  int type;          // RegxAtomType
  RegxFrag frag;     // the atom's nodes (not for RX_ATOM_TERM)
  uint32_t group;    // group number for RX_ATOM_GROUP
  bool leading_bol;  // a ^ that is the pattern's first character
};

struct RegxCompiler {
  const unsigned char *start;        // pattern text
  const unsigned char *cur;          // next byte to read
  bool ext;                          // extended syntax
  bool icase;                        // REGX_ICASE
  bool newline;                      // REGX_NEWLINE
  uint32_t groups;                   // groups opened so far
  uint32_t loops;                    // repetitions built so far (their numbers)
  uint32_t depth;                    // groups currently open
  int ended;                         // RegxEnded: what ended the last sequence
  const unsigned char *group_start;  // just after the last basic \(, for a literal *
  bool closed[10];                   // groups 1 to 9 closed so far
  RegxBlock *blocks;                 // arena under construction, newest block first
  int used;                          // nodes taken from the newest block
  RegxNode *spare;                   // nodes given back by literal merging
  uint8_t bitmap[32];                // bracket under construction
};

// regx_node_new - a fresh node from the spare list or the arena
int regx_node_new(RegxCompiler *c, int32_t kind, uintptr_t word, RegxNode **out) {
  RegxNode *node;
  if (c->spare != nullptr) {
    node = c->spare;
    c->spare = node->next;
  } else {
    if (c->blocks == nullptr || c->used == REGX_BLOCK_NODES) {
      RegxBlock *block = (RegxBlock *)tlvpr_calloc(1, sizeof(RegxBlock));
      if (block == nullptr) {
        return REGX_ESPACE;
      }
      block->next = c->blocks;
      c->blocks = block;
      c->used = 0;
    }
    node = &c->blocks->nodes[c->used++];
  }
  node->kind = kind;
  node->next = nullptr;
  node->arg.word = word;
  *out = node;
  return REGX_OK;
}

// regx_node_give_back - returns a node that owns nothing to the spare list
void regx_node_give_back(RegxCompiler *c, RegxNode *node) {
  node->kind = RX_NOP;
  node->arg.word = 0;
  node->next = c->spare;
  c->spare = node;
}

// regx_frag_single - a fragment of one new node
int regx_frag_single(RegxCompiler *c, int32_t kind, uintptr_t word, RegxFrag *out) {
  RegxNode *node;
  int rc = regx_node_new(c, kind, word, &node);
  if (rc != REGX_OK) {
    return rc;
  }
  out->first = node;
  out->last = node;
  return REGX_OK;
}

// regx_frag_append - links b behind a (a may be empty)
void regx_frag_append(RegxFrag *a, const RegxFrag &b) {
  if (a->first == nullptr) {
    *a = b;
    return;
  }
  a->last->next = b.first;
  a->last = b.last;
}

// regx_frag_push - appends one new node to a fragment
int regx_frag_push(RegxCompiler *c, RegxFrag *frag, int32_t kind, uintptr_t word) {
  RegxFrag one;
  int rc = regx_frag_single(c, kind, word, &one);
  if (rc == REGX_OK) {
    regx_frag_append(frag, one);
  }
  return rc;
}

// regx_frag_group_prefix - appends RX_SAVE g, RX_RESTORE g and the third node (kind) g
int regx_frag_group_prefix(RegxCompiler *c, RegxFrag *frag, uint32_t g, int32_t kind) {
  int rc = regx_frag_push(c, frag, RX_SAVE, g);
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, frag, RX_RESTORE, g);
  }
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, frag, kind, g);
  }
  return rc;
}

// regx_literal - a literal byte: RX_CHAR, or RX_CHAR2 with its fold for a letter under REGX_ICASE
int regx_literal(RegxCompiler *c, unsigned char ch, RegxAtom *atom) {
  RegxArg arg;
  arg.word = 0;
  arg.bytes[0] = ch;
  int32_t kind = RX_CHAR;
  if (c->icase && (regx_class_table[ch] & RX_CL_ALPHA) != 0) {
    kind = RX_CHAR2;
    arg.bytes[1] = regx_fold_table[ch];
  }
  atom->type = RX_ATOM_LITERAL;
  return regx_frag_single(c, kind, arg.word, &atom->frag);
}

// A run of literal characters still growing into an RX_STRING
struct RegxGrowing {
  RegxNode *node;  // RX_STRING (or the RX_CHAR that may become one); null when none
  size_t len;      // bytes in it
};

// regx_string_finish - trims a grown string's buffer to its length and the terminator
int regx_string_finish(RegxGrowing *run) {
  RegxNode *node = run->node;
  run->node = nullptr;
  if (node == nullptr || node->kind != RX_STRING) {
    return REGX_OK;
  }
  char *text = (char *)tlvpr_realloc(node->arg.text, run->len + 1);
  if (text == nullptr) {
    return REGX_ESPACE;  // the node still owns the old block, so release frees it
  }
  node->arg.text = text;
  return REGX_OK;
}

// regx_bracket_symbol - reads the text of [. .], [: :] or [= =] after its opening pair;
// *text and *len delimit it, the cursor moves past the closing pair
int regx_bracket_symbol(RegxCompiler *c, unsigned char delim, const unsigned char **text,
                        size_t *len) {
  const unsigned char *from = c->cur;
  const unsigned char *p = from;
  while (!(p[0] == delim && p[1] == ']')) {
    if (p[0] == 0) {
      return REGX_EBRACK;
    }
    p++;
  }
  *text = from;
  *len = (size_t)(p - from);
  c->cur = p + 2;
  return *len == 0 ? REGX_ECOLLATE : REGX_OK;
}

constexpr struct {
  const char *name;
  uint16_t bit;
} regx_class_names[] = {
    {"alpha", RX_CL_ALPHA}, {"upper", RX_CL_UPPER},   {"lower", RX_CL_LOWER},
    {"digit", RX_CL_DIGIT}, {"alnum", RX_CL_ALNUM},   {"space", RX_CL_SPACE},
    {"print", RX_CL_PRINT}, {"punct", RX_CL_PUNCT},   {"graph", RX_CL_GRAPH},
    {"cntrl", RX_CL_CNTRL}, {"xdigit", RX_CL_XDIGIT}, {"blank", RX_CL_BLANK},
};
static_assert(sizeof(regx_class_names) / sizeof(regx_class_names[0]) == 12);

// One bracket element: a single byte, or a class / equivalence class (no range endpoint)
struct RegxElement {
  unsigned char byte;  // the byte of a single-byte element or an equivalence class
  bool endpoint;       // may be a range endpoint
  uint16_t cls;        // class bit for [:name:], else 0
};

// regx_bracket_element - reads one element at the cursor
int regx_bracket_element(RegxCompiler *c, RegxElement *e) {
  e->cls = 0;
  e->endpoint = true;
  unsigned char ch = c->cur[0];
  if (ch == '[' && (c->cur[1] == '.' || c->cur[1] == ':' || c->cur[1] == '=')) {
    unsigned char delim = c->cur[1];
    c->cur += 2;
    const unsigned char *text;
    size_t len;
    int rc = regx_bracket_symbol(c, delim, &text, &len);
    if (rc != REGX_OK) {
      return rc;
    }
    if (delim == '.') {
      if (len != 1) {
        return REGX_ECOLLATE;
      }
      e->byte = text[0];
      return REGX_OK;
    }
    if (delim == ':') {
      for (const auto &cl : regx_class_names) {
        if (strlen(cl.name) == len && memcmp(cl.name, text, len) == 0) {
          e->cls = cl.bit;
          e->endpoint = false;
          return REGX_OK;
        }
      }
      return REGX_ECTYPE;
    }
    // Equivalence class: one byte, or a nested collating symbol filling it exactly.
    e->endpoint = false;
    if (len == 1) {
      e->byte = text[0];
      return REGX_OK;
    }
    if (len == 5 && text[0] == '[' && text[1] == '.' && text[3] == '.' && text[4] == ']') {
      e->byte = text[2];
      return REGX_OK;
    }
    return REGX_ECOLLATE;
  }
  e->byte = ch;
  c->cur++;
  return REGX_OK;
}

// regx_bracket_add - puts an element's members into the bitmap
void regx_bracket_add(RegxCompiler *c, const RegxElement &e) {
  if (e.cls == 0) {
    regx_set_bit(c->bitmap, e.byte);
    return;
  }
  for (unsigned b = 1; b < 256; b++) {
    if (regx_class_table[b] & e.cls) {
      regx_set_bit(c->bitmap, (unsigned char)b);
    }
  }
}

// regx_range_follows - a '-' at the cursor that makes a range (not before ']' or the end)
bool regx_range_follows(const RegxCompiler *c) {
  return c->cur[0] == '-' && c->cur[1] != ']' && c->cur[1] != 0;
}

// regx_bracket - a bracket expression after its '['
int regx_bracket(RegxCompiler *c, RegxAtom *atom) {
  bool negate = false;
  if (c->cur[0] == '^') {
    negate = true;
    c->cur++;
  }
  memset(c->bitmap, 0, sizeof c->bitmap);
  if (c->cur[0] == ']' || c->cur[0] == '-') {
    regx_set_bit(c->bitmap, c->cur[0]);
    c->cur++;
  }
  while (c->cur[0] != ']') {
    if (c->cur[0] == 0) {
      return REGX_EBRACK;
    }
    RegxElement e;
    int rc = regx_bracket_element(c, &e);
    if (rc != REGX_OK) {
      return rc;
    }
    if (!regx_range_follows(c)) {
      regx_bracket_add(c, e);
      continue;
    }
    while (regx_range_follows(c)) {
      if (!e.endpoint) {
        return REGX_ERANGE;
      }
      c->cur++;
      RegxElement hi;
      rc = regx_bracket_element(c, &hi);
      if (rc != REGX_OK) {
        return rc;
      }
      if (!hi.endpoint || e.byte > hi.byte) {
        return REGX_ERANGE;
      }
      for (unsigned b = e.byte; b <= hi.byte; b++) {
        regx_set_bit(c->bitmap, (unsigned char)b);
      }
      e = hi;
    }
  }
  c->cur++;
  if (c->icase) {
    for (unsigned b = 1; b < 256; b++) {
      if (regx_bit(c->bitmap, (unsigned char)b) &&
          (regx_class_table[b] & (RX_CL_UPPER | RX_CL_LOWER)) != 0) {
        regx_set_bit(c->bitmap, regx_fold_table[b]);
      }
    }
  }
  int32_t kind = negate ? (c->newline ? RX_NSET_NL : RX_NSET) : RX_SET;
  RegxNode *node;
  int rc = regx_node_new(c, kind, 0, &node);
  if (rc != REGX_OK) {
    return rc;
  }
  uint8_t *bitmap = (uint8_t *)tlvpr_malloc(sizeof c->bitmap);
  if (bitmap == nullptr) {
    return REGX_ESPACE;
  }
  memcpy(bitmap, c->bitmap, sizeof c->bitmap);
  node->arg.bitmap = bitmap;
  atom->type = RX_ATOM_OTHER;
  atom->frag.first = node;
  atom->frag.last = node;
  return REGX_OK;
}

int regx_parse_alt(RegxCompiler *c, RegxFrag *out);

// regx_group - a group after its opening parenthesis
int regx_group(RegxCompiler *c, RegxAtom *atom) {
  if (c->depth >= RX_NEST_MAX) {
    return REGX_BADPAT;
  }
  uint32_t g = ++c->groups;
  c->depth++;
  if (!c->ext) {
    c->group_start = c->cur;
  }
  RegxFrag content;
  int rc = regx_parse_alt(c, &content);
  if (rc != REGX_OK) {
    return rc;
  }
  if (content.first == content.last && content.first->kind == RX_NOP) {
    return REGX_BADPAT;
  }
  c->depth--;
  if (g <= 9) {
    c->closed[g] = true;
  }
  if (c->ended != RX_ENDED_PAREN) {
    return REGX_EPAREN;
  }
  c->ended = RX_ENDED_NONE;
  RegxFrag frag = {nullptr, nullptr};
  rc = regx_frag_group_prefix(c, &frag, g, RX_OPEN);
  for (uint32_t i = g + 1; rc == REGX_OK && i <= c->groups; i++) {
    rc = regx_frag_group_prefix(c, &frag, i, RX_CLEAR);
  }
  if (rc != REGX_OK) {
    return rc;
  }
  regx_frag_append(&frag, content);
  rc = regx_frag_push(c, &frag, RX_CLOSE, g);
  if (rc != REGX_OK) {
    return rc;
  }
  atom->type = RX_ATOM_GROUP;
  atom->group = g;
  atom->frag = frag;
  return REGX_OK;
}

// regx_escape - the byte after a backslash in atom position
int regx_escape(RegxCompiler *c, RegxAtom *atom) {
  bool first = c->cur == c->start;
  unsigned char ch = c->cur[1];
  if (ch == 0) {
    return REGX_EESCAPE;
  }
  c->cur += 2;
  if (ch >= '1' && ch <= '9') {
    unsigned g = (unsigned)(ch - '0');
    if (!c->closed[g]) {
      return REGX_ESUBREG;
    }
    atom->type = RX_ATOM_OTHER;
    return regx_frag_single(c, RX_BACKREF, g, &atom->frag);
  }
  if (ch == '<' || ch == '>') {
    atom->type = RX_ATOM_ANCHOR;
    return regx_frag_single(c, RX_WORDB, ch == '<' ? 0 : 1, &atom->frag);
  }
  if (!c->ext) {
    switch (ch) {
      case '(':
        return regx_group(c, atom);
      case ')':
        c->ended = RX_ENDED_PAREN;
        atom->type = RX_ATOM_TERM;
        return REGX_OK;
      case '{':
      case '+':
        return REGX_BADRPT;
      case '?':
        if (!first) {
          return REGX_BADRPT;
        }
        break;
      default:
        break;
    }
  }
  return regx_literal(c, ch, atom);
}

// regx_parse_atom - one atom, or the terminator that ends the sequence
int regx_parse_atom(RegxCompiler *c, RegxAtom *atom) {
  atom->leading_bol = false;
  atom->group = 0;
  unsigned char ch = c->cur[0];
  switch (ch) {
    case 0:
      c->ended = RX_ENDED_PATTERN;
      atom->type = RX_ATOM_TERM;
      return REGX_OK;
    case '|':
      if (c->ext) {
        c->cur++;
        c->ended = RX_ENDED_BAR;
        atom->type = RX_ATOM_TERM;
        return REGX_OK;
      }
      break;
    case '(':
      if (c->ext) {
        c->cur++;
        return regx_group(c, atom);
      }
      break;
    case ')':
      if (c->ext && c->depth > 0) {
        c->cur++;
        c->ended = RX_ENDED_PAREN;
        atom->type = RX_ATOM_TERM;
        return REGX_OK;
      }
      break;
    case '{':
    case '+':
    case '?':
      if (c->ext) {
        return REGX_BADRPT;
      }
      break;
    case '*':
      if (c->ext) {
        return REGX_BADRPT;
      }
      if (!(c->cur == c->start || (c->cur == c->start + 1 && c->start[0] == '^') ||
            c->cur == c->group_start)) {
        return REGX_BADRPT;
      }
      break;
    case '.':
      c->cur++;
      atom->type = RX_ATOM_OTHER;
      return regx_frag_single(c, c->newline ? RX_ANY_NL : RX_ANY, 0, &atom->frag);
    case '[':
      c->cur++;
      return regx_bracket(c, atom);
    case '^':
      if (c->ext || c->cur == c->start) {
        atom->leading_bol = c->cur == c->start;
        c->cur++;
        atom->type = RX_ATOM_ANCHOR;
        return regx_frag_single(c, c->newline ? RX_BOL_NL : RX_BOL, 0, &atom->frag);
      }
      break;
    case '$':
      if (c->ext || c->cur[1] == 0) {
        c->cur++;
        atom->type = RX_ATOM_ANCHOR;
        return regx_frag_single(c, c->newline ? RX_EOL_NL : RX_EOL, 0, &atom->frag);
      }
      break;
    case '\\':
      return regx_escape(c, atom);
    default:
      break;
  }
  c->cur++;
  return regx_literal(c, ch, atom);
}

// regx_read_number - decimal digits at the cursor, saturating above the largest bound
unsigned regx_read_number(RegxCompiler *c) {
  unsigned n = 0;
  while (c->cur[0] >= '0' && c->cur[0] <= '9') {
    if (n <= REGX_DUP_MAX) {
      n = n * 10 + (unsigned)(c->cur[0] - '0');
    }
    c->cur++;
  }
  return n;
}

// regx_interval - the bounds after an interval's opening brace
int regx_interval(RegxCompiler *c, unsigned *min, unsigned *max, bool *unbounded) {
  if (c->cur[0] == 0) {
    return REGX_EBRACE;
  }
  if (!(c->cur[0] >= '0' && c->cur[0] <= '9')) {
    return REGX_BADBR;
  }
  unsigned m = regx_read_number(c);
  unsigned n = m;
  bool open = false;
  if (c->cur[0] == ',') {
    c->cur++;
    if (c->cur[0] >= '0' && c->cur[0] <= '9') {
      n = regx_read_number(c);
    } else {
      open = true;
    }
  }
  if (c->cur[0] == 0) {
    return REGX_EBRACE;
  }
  if (c->cur[0] == '}') {
    c->cur++;
  } else if (c->cur[0] == '\\' && c->cur[1] == '}') {
    c->cur += 2;
  } else {
    return REGX_BADBR;
  }
  if (m > REGX_DUP_MAX || (!open && (n > REGX_DUP_MAX || n < m))) {
    return REGX_BADBR;
  }
  *min = m;
  *max = open ? REGX_DUP_MAX : n;
  *unbounded = open;
  return REGX_OK;
}

// Repetition operators
enum RegxOp { RX_OP_NONE, RX_OP_STAR, RX_OP_PLUS, RX_OP_QUESTION, RX_OP_BRACE };

// regx_op_of - the operator a byte names after an atom ('*' is handled by the caller)
int regx_op_of(unsigned char ch) {
  switch (ch) {
    case '+':
      return RX_OP_PLUS;
    case '?':
      return RX_OP_QUESTION;
    case '{':
      return RX_OP_BRACE;
    default:
      return RX_OP_NONE;
  }
}

// regx_read_op - the operator at the cursor (not consumed); *width is its length.
// Extended syntax writes + ? { bare, basic syntax with a backslash.
int regx_read_op(const RegxCompiler *c, int *width) {
  const unsigned char *p = c->cur;
  *width = 1;
  if (p[0] == '*') {
    return RX_OP_STAR;
  }
  if (c->ext) {
    return regx_op_of(p[0]);
  }
  if (p[0] != '\\') {
    return RX_OP_NONE;
  }
  *width = 2;
  return regx_op_of(p[1]);
}

// regx_parse_piece - an atom with its optional repetition; *done when a terminator was met
int regx_parse_piece(RegxCompiler *c, RegxFrag *out, bool *literal, bool *done) {
  RegxAtom atom;
  int rc = regx_parse_atom(c, &atom);
  if (rc != REGX_OK) {
    return rc;
  }
  *done = atom.type == RX_ATOM_TERM;
  *literal = false;
  if (*done) {
    return REGX_OK;
  }
  int width;
  int op = regx_read_op(c, &width);
  if (op != RX_OP_NONE && atom.type == RX_ATOM_ANCHOR) {
    if (op == RX_OP_PLUS || op == RX_OP_BRACE || c->ext) {
      return REGX_BADRPT;
    }
    if (atom.leading_bol) {
      // Basic ^* and ^\?: the operator's last byte is read again as the next atom.
      c->cur += width - 1;
      op = RX_OP_NONE;
    }
  }
  unsigned min = 0;
  unsigned max = REGX_DUP_MAX;
  bool unbounded = true;
  if (op != RX_OP_NONE) {
    c->cur += width;
    switch (op) {
      case RX_OP_PLUS:
        min = 1;
        break;
      case RX_OP_QUESTION:
        max = 1;
        unbounded = false;
        break;
      case RX_OP_BRACE:
        rc = regx_interval(c, &min, &max, &unbounded);
        if (rc != REGX_OK) {
          return rc;
        }
        break;
      default:
        break;
    }
  }
  RegxFrag piece = {nullptr, nullptr};
  if (atom.type == RX_ATOM_GROUP) {
    rc = regx_frag_group_prefix(c, &piece, atom.group, RX_CLEAR);
    if (rc != REGX_OK) {
      return rc;
    }
  }
  if (op == RX_OP_NONE) {
    regx_frag_append(&piece, atom.frag);
    *literal = atom.type == RX_ATOM_LITERAL && atom.frag.first->kind == RX_CHAR;
    *out = piece;
    return REGX_OK;
  }
  RegxArg count;
  count.word = 0;
  count.bytes[RX_COUNT_MIN] = (unsigned char)min;
  count.bytes[RX_COUNT_MAX] = (unsigned char)max;
  count.bytes[RX_COUNT_UNBOUNDED] = unbounded ? 1 : 0;
  RegxFrag loop = {nullptr, nullptr};
  rc = regx_frag_push(c, &loop, RX_LOOP, 0);
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, &loop, RX_LOOPBACK, c->loops++);
  }
  RegxNode *loopback = loop.last;
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, &loop, RX_COUNT, count.word);
  }
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, &loop, RX_BODY, 0);
  }
  if (rc != REGX_OK) {
    return rc;
  }
  loop.last->arg.node = atom.frag.first;
  atom.frag.last->next = loopback;
  regx_frag_append(&piece, loop);
  *out = piece;
  return REGX_OK;
}

// regx_merge_char - appends the character of node to the run
int regx_merge_char(RegxCompiler *c, RegxGrowing *run, RegxNode *node) {
  RegxNode *prev = run->node;
  if (prev->kind == RX_CHAR) {
    char *text = (char *)tlvpr_malloc(RX_STRING_MAX + 1);
    if (text == nullptr) {
      return REGX_ESPACE;
    }
    text[0] = (char)prev->arg.bytes[0];
    prev->kind = RX_STRING;
    prev->arg.text = text;
    run->len = 1;
  }
  prev->arg.text[run->len++] = (char)node->arg.bytes[0];
  prev->arg.text[run->len] = 0;
  regx_node_give_back(c, node);
  return REGX_OK;
}

// regx_parse_seq - pieces up to the end of the pattern, a '|' or a closing parenthesis
int regx_parse_seq(RegxCompiler *c, RegxFrag *out) {
  RegxFrag seq = {nullptr, nullptr};
  RegxGrowing run = {nullptr, 0};  // previous piece when it is a lone RX_CHAR or RX_STRING
  int rc;
  for (;;) {
    RegxFrag piece;
    bool literal;
    bool done;
    rc = regx_parse_piece(c, &piece, &literal, &done);
    if (rc != REGX_OK || done) {
      break;
    }
    if (literal && run.node != nullptr && (run.node->kind == RX_CHAR || run.len < RX_STRING_MAX)) {
      rc = regx_merge_char(c, &run, piece.first);
      if (rc != REGX_OK) {
        break;
      }
      continue;
    }
    rc = regx_string_finish(&run);
    if (rc != REGX_OK) {
      break;
    }
    regx_frag_append(&seq, piece);
    run.node = literal ? piece.first : nullptr;
    run.len = 1;
  }
  int trimmed = regx_string_finish(&run);
  if (rc != REGX_OK) {
    return rc;
  }
  if (trimmed != REGX_OK) {
    return trimmed;
  }
  if (seq.first == nullptr) {
    return regx_frag_single(c, RX_NOP, 0, out);
  }
  *out = seq;
  return REGX_OK;
}

// regx_parse_alt - a sequence, or branches separated by '|' joined at one RX_NOP
int regx_parse_alt(RegxCompiler *c, RegxFrag *out) {
  RegxFrag branch;
  int rc = regx_parse_seq(c, &branch);
  if (rc != REGX_OK) {
    return rc;
  }
  if (c->ended != RX_ENDED_BAR) {
    *out = branch;
    return REGX_OK;
  }
  RegxNode *join;
  rc = regx_node_new(c, RX_NOP, 0, &join);
  RegxFrag chain = {nullptr, nullptr};
  while (rc == REGX_OK) {
    branch.last->next = join;
    RegxFrag alt;
    rc = regx_frag_single(c, RX_ALT, 0, &alt);
    if (rc != REGX_OK) {
      break;
    }
    alt.first->arg.node = branch.first;
    regx_frag_append(&chain, alt);
    if (c->ended != RX_ENDED_BAR) {
      break;
    }
    rc = regx_parse_seq(c, &branch);
  }
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, &chain, RX_FAIL, 0);
  }
  if (rc != REGX_OK) {
    return rc;
  }
  chain.last->next = join;
  chain.last = join;
  *out = chain;
  return REGX_OK;
}

// regx_build - the whole program: start strategy, group 0, final RX_END
int regx_build(RegxCompiler *c, int flags, RegxNode **program) {
  RegxFrag body;
  int rc = regx_parse_alt(c, &body);
  if (rc != REGX_OK) {
    return rc;
  }
  if (c->ended == RX_ENDED_PAREN) {
    return REGX_EPAREN;
  }
  RegxFrag prog;
  rc = regx_frag_single(c, RX_OPEN, 0, &prog);
  if (rc != REGX_OK) {
    return rc;
  }
  regx_frag_append(&prog, body);
  rc = regx_frag_push(c, &prog, RX_CLOSE, 0);
  int32_t scan = -1;
  if (rc == REGX_OK && (flags & REGX_FULLMATCH) != 0) {
    rc = regx_frag_push(c, &prog, c->newline ? RX_EOL_NL : RX_EOL, 0);
  } else if (body.first->kind == RX_BOL_NL) {
    scan = RX_SCAN_NL;
  } else if (body.first->kind != RX_BOL) {
    scan = RX_SCAN;
  }
  if (rc == REGX_OK) {
    rc = regx_frag_push(c, &prog, RX_END, 1);
  }
  RegxNode *head = prog.first;
  if (rc == REGX_OK && scan >= 0) {
    rc = regx_node_new(c, scan, 0, &head);
  }
  if (rc != REGX_OK) {
    return rc;
  }
  if (scan >= 0) {
    head->next = prog.first;
  }
  if (scan == RX_SCAN) {
    const RegxNode *n = body.first;
    while (n->kind == RX_NOP || n->kind == RX_WORDB || n->kind == RX_OPEN || n->kind == RX_SAVE ||
           n->kind == RX_RESTORE) {
      n = n->next;
    }
    if (n->kind == RX_CHAR || n->kind == RX_STRING || n->kind == RX_EOL) {
      head->kind = RX_SCANCHAR;
      head->arg.word = 0;
      head->arg.bytes[0] = n->kind == RX_CHAR     ? n->arg.bytes[0]
                           : n->kind == RX_STRING ? (unsigned char)n->arg.text[0]
                                                  : 0;
    }
  }
  *program = head;
  return REGX_OK;
}

}  // namespace

// regx_compile - compiles text into the record; on failure releases everything
int regx_compile(RegxPattern *pattern, const char *text, int flags) {
  if (pattern == nullptr || text == nullptr) {
    return REGX_EFATAL;
  }
  RegxCompiler c;
  memset(&c, 0, sizeof c);
  c.start = (const unsigned char *)text;
  c.cur = c.start;
  c.ext = (flags & REGX_EXTENDED) != 0;
  c.icase = (flags & REGX_ICASE) != 0;
  c.newline = (flags & REGX_NEWLINE) != 0;
  RegxNode *program = nullptr;
  RegxPlan *plan = nullptr;
  RegxLoopState *loop_state = nullptr;
  int rc = regx_build(&c, flags, &program);
  if (rc == REGX_OK) {
    RegxPattern built;
    memset(&built, 0, sizeof built);
    built.flags = flags;
    built.group_count = c.groups;
    built.arena = c.blocks;
    built.program = program;
    built.loop_count = c.loops;
    rc = regx_plan_build(&built, &plan);
  }
  if (rc == REGX_OK && c.loops > REGX_LOOP_STATES) {
    // Too many loops for the call's own arrays: their state lives here.
    size_t pos = sizeof(RegxLoopState);
    size_t cur = pos + (size_t)c.loops * sizeof(const char *);
    loop_state = (RegxLoopState *)tlvpr_malloc(cur + c.loops);
    if (loop_state == nullptr) {
      rc = REGX_ESPACE;
    } else {
      loop_state->pos = (const char **)((char *)loop_state + pos);
      loop_state->cur = (uint8_t *)loop_state + cur;
    }
  }
  if (rc != REGX_OK) {
    regx_release_blocks(c.blocks);
    regx_plan_release(plan);
    pattern->arena = nullptr;
    pattern->program = nullptr;
    pattern->plan = nullptr;
    pattern->group_count = 0;
    pattern->loop_count = 0;
    pattern->loop_state = nullptr;
    return rc;
  }
  pattern->flags = flags;
  pattern->group_count = c.groups;
  pattern->arena = c.blocks;
  pattern->program = program;
  pattern->plan = plan;
  pattern->loop_count = c.loops;
  pattern->loop_state = loop_state;
  return REGX_OK;
}
