// tlvpr_format - the formatter's engine, its positional pre-pass and the
// classic decimal digit generator behind e, f and g.
//
// Every conversion is described as pieces: a sign character, a short prefix
// ("0x", "0"), a run of zeros (integer precision) and a body text. The body
// lives in a fixed stack buffer or is the caller's string; zero runs and
// padding are emitted as counts. So neither a huge width or precision nor a
// huge value ever writes past a buffer: the digit generator keeps at most
// TLVPR_CVT_DIGITS digits and positions beyond them are written as zeros.
// Tests: tests/tlvpr_format_test.cpp.

#include "tlvpr_format.h"

#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include "tlvpr_mem.h"

namespace {

constexpr int TLVPR_CVT_DIGITS = 80;        // digit generator buffer
constexpr int TLVPR_CVT_MAX_KEEP = 78;      // digits kept in exponential mode
constexpr int TLVPR_CVT_INT_DIGITS = 320;   // integer part of the largest double (309 digits)
constexpr int TLVPR_FORMAT_BODY = 512;      // converted text of one conversion
constexpr int TLVPR_FORMAT_STACK_ARGS = 8;  // positional slots kept on the stack
constexpr int TLVPR_FORMAT_MAX_ARGS = 256;  // highest argument position accepted

static_assert(TLVPR_CVT_INT_DIGITS + 2 + TLVPR_CVT_MAX_KEEP < TLVPR_FORMAT_BODY,
              "the fixed form of any double fits the body buffer");

// Argument kinds of a positional slot: how the pre-pass reads it from the list.
enum TlvprArgKind : unsigned char { TLVPR_ARG_INT = 0, TLVPR_ARG_DOUBLE, TLVPR_ARG_PTR };

// Where conversions take their arguments from.
struct TlvprArgs {
  va_list *ap;      // sequential mode: the caller's list
  uint64_t *slots;  // positional mode: one 8-byte slot per position, else null
  int count;        // positions in slots
  int next;         // next argument position (1-based)
};

// The output side: the caller's sink plus the running count.
struct TlvprOut {
  TlvprFlush flush;
  TlvprSink *sink;
  char *cur;       // local copy of sink->cur
  char *end;       // local copy of sink->end
  uint64_t count;  // characters produced
  bool stopped;    // the flush operation stopped the engine
};

// tlvpr_out_room - makes room for at least one character; false when stopped.
static bool tlvpr_out_room(TlvprOut *out) {
  if (out->stopped) return false;
  if (out->cur == nullptr || out->cur < out->end) return true;
  out->sink->cur = out->cur;
  if (out->flush == nullptr || out->flush(out->sink) != 0) {
    out->stopped = true;
    return false;
  }
  out->cur = out->sink->cur;
  out->end = out->sink->end;
  // A flush that reports room but gives none would let us write past the sink.
  if (out->cur != nullptr && out->cur >= out->end) {
    out->stopped = true;
    return false;
  }
  return true;
}

// tlvpr_out_mem - copies len bytes to the sink; false when stopped.
static bool tlvpr_out_mem(TlvprOut *out, const char *text, size_t len) {
  while (len > 0) {
    if (!tlvpr_out_room(out)) return false;
    if (out->cur == nullptr) {
      out->count += len;
      return true;
    }
    size_t n = (size_t)(out->end - out->cur);
    if (n > len) n = len;
    memcpy(out->cur, text, n);
    out->cur += n;
    out->count += n;
    text += n;
    len -= n;
  }
  return true;
}

// tlvpr_out_fill - writes n copies of c; false when stopped.
static bool tlvpr_out_fill(TlvprOut *out, char c, uint64_t n) {
  while (n > 0) {
    if (!tlvpr_out_room(out)) return false;
    if (out->cur == nullptr) {
      out->count += n;
      return true;
    }
    uint64_t room = (uint64_t)(out->end - out->cur);
    size_t k = (size_t)(room < n ? room : n);
    memset(out->cur, c, k);
    out->cur += k;
    out->count += k;
    n -= k;
  }
  return true;
}

// Bounded text builder for conversion bodies: never writes past its capacity.
struct TlvprText {
  char *buf;
  int len;
  int cap;
};

static void tlvpr_text_put(TlvprText *t, char c) {
  if (t->len < t->cap) t->buf[t->len++] = c;
}

static void tlvpr_text_puts(TlvprText *t, const char *s) {
  while (*s != '\0') tlvpr_text_put(t, *s++);
}

// tlvpr_text_uint - appends value in decimal without leading zeros.
static void tlvpr_text_uint(TlvprText *t, uint32_t value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) tlvpr_text_put(t, digits[--n]);
}

// One digit string from the generator: the value is 0.DIGITS times 10^point.
struct TlvprDigits {
  char digit[TLVPR_CVT_DIGITS + 1];
  int len;        // digits in digit (0 to TLVPR_CVT_DIGITS)
  int point;      // decimal point position
  bool negative;  // the value was not >= 0
};

// tlvpr_cvt - the classic decimal digit generator. ndigits counts the digits
// kept (exponential mode) or the digits after the point (fixed mode).
//
// Integer digits come from repeated division by ten with a 0.03 nudge against
// the binary representation; an integer part wider than the buffer keeps its
// leading digits and the point position still counts them all. Rounding is half
// up on the decimal digits. Callers handle infinities and NaN before.
static void tlvpr_cvt(double value, int ndigits, bool exponential, TlvprDigits *out) {
  char *buf = out->digit;
  int point = 0;
  out->negative = !(value >= 0);
  if (out->negative) value = -value;
  if (ndigits < 0) ndigits = 0;
  if (ndigits > TLVPR_CVT_MAX_KEEP) ndigits = TLVPR_CVT_MAX_KEEP;

  double ipart;
  double frac = modf(value, &ipart);
  int p = 0;
  if (ipart != 0) {
    char wide[TLVPR_CVT_INT_DIGITS];
    int w = TLVPR_CVT_INT_DIGITS;
    while (ipart != 0 && w > 0) {
      double f = modf(ipart * 0.1, &ipart);
      // The nudge may not lift a digit past 9, however inexact the product.
      int digit = (int)((f + 0.03) * 10);
      wide[--w] = (char)('0' + (digit > 9 ? 9 : digit));
      point++;
    }
    for (int i = w; i < TLVPR_CVT_INT_DIGITS && p < TLVPR_CVT_DIGITS; i++) buf[p++] = wide[i];
  } else if (frac > 0) {
    double f;
    while ((f = frac * 10) < 1) {
      frac = f;
      point--;
    }
  }
  out->point = point;

  long keep = ndigits + (exponential ? 0 : (long)point);
  if (keep < 0) {
    out->len = 0;
    buf[0] = '\0';
    return;
  }
  while (p <= keep && p < TLVPR_CVT_DIGITS) {
    double digit;
    frac = modf(frac * 10, &digit);
    buf[p++] = (char)('0' + (int)digit);
  }
  if (keep >= TLVPR_CVT_DIGITS) {
    // No digit beyond the last kept one: the string is cut without rounding.
    out->len = TLVPR_CVT_DIGITS - 1;
    buf[out->len] = '\0';
    return;
  }
  int cut = (int)keep;
  int q = cut;
  buf[q] = (char)(buf[q] + 5);
  while (buf[q] > '9') {
    buf[q] = '0';
    if (q > 0) {
      buf[--q]++;
    } else {
      buf[q] = '1';
      out->point++;
      if (!exponential) {
        if (cut > 0) buf[cut] = '0';
        cut++;
      }
    }
  }
  out->len = cut;
  buf[cut] = '\0';
}

// tlvpr_digit_at - digit i of the string (0-based); zeros outside it.
static char tlvpr_digit_at(const TlvprDigits *d, long i) {
  return (i >= 0 && i < d->len) ? d->digit[i] : '0';
}

// tlvpr_form_e - exponential form: d.ddd e+XX.
static void tlvpr_form_e(TlvprText *t, const TlvprDigits *d, int prec, bool alt, char letter) {
  tlvpr_text_put(t, tlvpr_digit_at(d, 0));
  if (prec > 0 || alt) tlvpr_text_put(t, '.');
  for (int i = 1; i < d->len; i++) tlvpr_text_put(t, d->digit[i]);
  tlvpr_text_put(t, letter);
  int exp = d->point - 1;
  tlvpr_text_put(t, exp < 0 ? '-' : '+');
  uint32_t mag = (uint32_t)(exp < 0 ? -exp : exp);
  if (mag < 10) tlvpr_text_put(t, '0');
  tlvpr_text_uint(t, mag);
}

// tlvpr_form_f - fixed form. The fraction always shows min(prec, 78) digits,
// zeros where the generator kept none (tiny values, huge integer parts).
static void tlvpr_form_f(TlvprText *t, const TlvprDigits *d, int prec, bool alt) {
  if (d->point > 0) {
    for (long i = 0; i < d->point; i++) tlvpr_text_put(t, tlvpr_digit_at(d, i));
  } else {
    tlvpr_text_put(t, '0');
  }
  if (prec > 0 || alt) tlvpr_text_put(t, '.');
  int shown = prec < TLVPR_CVT_MAX_KEEP ? prec : TLVPR_CVT_MAX_KEEP;
  for (int i = 0; i < shown; i++) tlvpr_text_put(t, tlvpr_digit_at(d, (long)d->point + i));
}

// tlvpr_form_g - general form; trailing zeros are always dropped and a final
// "." only stays with "#". 0.5 gives ".5", 100000 gives "1.e+5".
static void tlvpr_form_g(TlvprText *t, TlvprDigits *d, bool alt, bool upper) {
  int k = d->len;
  while (k > 1 && d->digit[k - 1] == '0') k--;
  if (k < 1) k = 1;
  int point = d->point;
  int start = t->len;
  if (point < -3 || point - k > 4) {
    tlvpr_text_put(t, tlvpr_digit_at(d, 0));
    tlvpr_text_put(t, '.');
    for (int i = 1; i < k; i++) tlvpr_text_put(t, d->digit[i]);
    tlvpr_text_put(t, upper ? 'E' : 'e');
    int exp = point - 1;
    tlvpr_text_put(t, exp < 0 ? '-' : '+');
    tlvpr_text_uint(t, (uint32_t)(exp < 0 ? -exp : exp));
  } else {
    if (point <= 0) {
      if (tlvpr_digit_at(d, 0) != '0') tlvpr_text_put(t, '.');
      for (int i = 0; i < -point; i++) tlvpr_text_put(t, '0');
    }
    for (int i = 0; i < k; i++) {
      tlvpr_text_put(t, tlvpr_digit_at(d, i));
      if (i + 1 == point && point < k) tlvpr_text_put(t, '.');
    }
    if (point > k) {
      for (int i = 0; i < point - k; i++) tlvpr_text_put(t, '0');
      tlvpr_text_put(t, '.');
    }
  }
  bool has_point = memchr(t->buf + start, '.', (size_t)(t->len - start)) != nullptr;
  if (t->len > start && t->buf[t->len - 1] == '.' && !alt) {
    t->len--;
  } else if (alt && !has_point) {
    tlvpr_text_put(t, '.');
  }
}

// Conversion state, reset for every conversion.
struct TlvprConvState {
  bool right = true;  // right-justify
  bool plus = false;
  bool space = false;
  bool alt = false;  // "#"
  char pad = ' ';
  int width = 0;
  bool width_given = false;
  int prec = 0;
  bool prec_given = false;
  char length = 0;  // 'q', 'l', 'h' or 0
  int pos = 0;      // own argument position, 0 = the next one
};

// tlvpr_parse_flags - reads the flag characters - + # space 0, in any order.
static void tlvpr_parse_flags(const char **fmt, TlvprConvState *cs) {
  for (;; (*fmt)++) {
    char c = **fmt;
    if (c == '-')
      cs->right = false;
    else if (c == '+')
      cs->plus = true;
    else if (c == '#')
      cs->alt = true;
    else if (c == ' ')
      cs->space = true;
    else if (c == '0')
      cs->pad = '0';
    else
      break;
  }
}

// tlvpr_parse_number - reads decimal digits, saturating at INT_MAX.
static int tlvpr_parse_number(const char **fmt) {
  const char *f = *fmt;
  int value = 0;
  while (*f >= '0' && *f <= '9') {
    int digit = *f - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    f++;
  }
  *fmt = f;
  return value;
}

// tlvpr_arg_bits - the raw 8 bytes of an argument: sequential from the list,
// or from the slot of its position (a missing slot reads as 0).
static uint64_t tlvpr_arg_bits(TlvprArgs *args, int pos, TlvprArgKind kind) {
  if (pos == 0) pos = args->next;
  args->next = pos < INT_MAX ? pos + 1 : pos;
  if (args->slots != nullptr) {
    return (pos >= 1 && pos <= args->count) ? args->slots[pos - 1] : 0;
  }
  switch (kind) {
    case TLVPR_ARG_DOUBLE: {
      double d = va_arg(*args->ap, double);
      uint64_t bits;
      memcpy(&bits, &d, sizeof bits);
      return bits;
    }
    case TLVPR_ARG_PTR:
      return (uint64_t)(uintptr_t)va_arg(*args->ap, void *);
    default:
      return (uint64_t)(int64_t)va_arg(*args->ap, int);
  }
}

static int tlvpr_arg_int(TlvprArgs *args, int pos) {
  return (int)(uint32_t)tlvpr_arg_bits(args, pos, TLVPR_ARG_INT);
}

static void *tlvpr_arg_ptr(TlvprArgs *args, int pos) {
  return (void *)(uintptr_t)tlvpr_arg_bits(args, pos, TLVPR_ARG_PTR);
}

static double tlvpr_arg_double(TlvprArgs *args, int pos) {
  uint64_t bits = tlvpr_arg_bits(args, pos, TLVPR_ARG_DOUBLE);
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

// tlvpr_parse_star - after a "*": "n$" names the argument, else the next one.
// Digits without "$", or a position in a call that is not positional, are
// malformed (false).
static bool tlvpr_parse_star(const char **fmt, TlvprArgs *args, int *value) {
  int pos = 0;
  if (**fmt >= '0' && **fmt <= '9') {
    pos = tlvpr_parse_number(fmt);
    if (**fmt != '$' || args->slots == nullptr) return false;
    (*fmt)++;
  }
  *value = tlvpr_arg_int(args, pos);
  return true;
}

// tlvpr_kind_of - the argument kind a conversion character reads.
static TlvprArgKind tlvpr_kind_of(char conv) {
  switch (conv) {
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
      return TLVPR_ARG_DOUBLE;
    case 's':
    case 'n':
    case 'p':
      return TLVPR_ARG_PTR;
    default:
      return TLVPR_ARG_INT;
  }
}

// tlvpr_is_positional - some "%" (not "%%") is followed, before any letter or
// space, by a digit directly followed by "$".
static bool tlvpr_is_positional(const char *fmt) {
  if (strchr(fmt, '$') == nullptr) return false;
  for (const char *f = fmt; *f != '\0'; f++) {
    if (*f != '%') continue;
    if (f[1] == '%') {
      f++;
      continue;
    }
    for (const char *g = f + 1; *g != '\0' && *g != ' ' && *g != '%'; g++) {
      if ((*g >= 'a' && *g <= 'z') || (*g >= 'A' && *g <= 'Z')) break;
      if (*g >= '0' && *g <= '9' && g[1] == '$') return true;
    }
  }
  return false;
}

// tlvpr_prepass_position - reads "n$" with 1 <= n <= the limit; false if absent.
static bool tlvpr_prepass_position(const char **fmt, int *pos) {
  if (**fmt < '0' || **fmt > '9') return false;
  int n = tlvpr_parse_number(fmt);
  if (**fmt != '$' || n < 1 || n > TLVPR_FORMAT_MAX_ARGS) return false;
  (*fmt)++;
  *pos = n;
  return true;
}

// tlvpr_prepass - walks every conversion of a positional format and records the
// kind of each position in kinds (null: only count). Gives the highest
// position, or -1 when a conversion is malformed.
static int tlvpr_prepass(const char *fmt, unsigned char *kinds) {
  int highest = 0;
  for (const char *f = fmt; *f != '\0'; f++) {
    if (*f != '%') continue;
    f++;
    if (*f == '\0') break;
    int pos;
    if (!tlvpr_prepass_position(&f, &pos)) return -1;
    int conv_pos = pos;
    if (pos > highest) highest = pos;
    while (*f == '-' || *f == '+' || *f == '#' || *f == ' ' || *f == '0') f++;
    if (*f >= '0' && *f <= '9') {
      tlvpr_parse_number(&f);
      if (*f == '$') return -1;
    }
    for (int part = 0; part < 2; part++) {
      if (part == 1) {
        if (*f != '.') break;
        f++;
        if (*f >= '0' && *f <= '9') {
          tlvpr_parse_number(&f);
          break;
        }
      }
      if (*f != '*') continue;
      f++;
      if (!tlvpr_prepass_position(&f, &pos)) return -1;
      if (pos > highest) highest = pos;
      if (kinds != nullptr) kinds[pos - 1] = TLVPR_ARG_INT;
    }
    if (*f == 'q' || *f == 'l' || *f == 'h') f++;
    if (*f == '\0') break;
    TlvprArgKind kind = tlvpr_kind_of(*f);
    if (*f == 'p') {
      f++;
      if (*f == '\0') break;
      if (*f != 'A' && *f != 'I' && *f != 'p') kind = TLVPR_ARG_INT;  // bogus: takes nothing
    }
    if (kinds != nullptr) kinds[conv_pos - 1] = (unsigned char)kind;
  }
  return highest;
}

// tlvpr_emit - writes one converted text with its padding. The text is
// sign, prefix, zeros zero characters of "0", then body; false when stopped.
static bool tlvpr_emit(TlvprOut *out, const TlvprConvState *cs, char sign, const char *prefix,
                       uint64_t zeros, const char *body, size_t body_len) {
  size_t prefix_len = prefix != nullptr ? strlen(prefix) : 0;
  uint64_t len = (sign != 0 ? 1 : 0) + prefix_len + zeros + body_len;
  uint64_t fill = (cs->width_given && len < (uint64_t)cs->width) ? (uint64_t)cs->width - len : 0;
  if (cs->right && fill > 0) {
    if (cs->pad == '0' && sign != 0) {
      if (!tlvpr_out_mem(out, &sign, 1)) return false;
      sign = 0;
    }
    if (!tlvpr_out_fill(out, cs->pad, fill)) return false;
  }
  if (sign != 0 && !tlvpr_out_mem(out, &sign, 1)) return false;
  if (prefix_len > 0 && !tlvpr_out_mem(out, prefix, prefix_len)) return false;
  if (!tlvpr_out_fill(out, '0', zeros)) return false;
  if (!tlvpr_out_mem(out, body, body_len)) return false;
  if (!cs->right && !tlvpr_out_fill(out, cs->pad, fill)) return false;
  return true;
}

// tlvpr_sign_of - the sign character of a number by the flags.
static char tlvpr_sign_of(const TlvprConvState *cs, bool negative) {
  if (negative) return '-';
  if (cs->plus) return '+';
  if (cs->space) return ' ';
  return 0;
}

// tlvpr_convert_int - d i u o x X.
static bool tlvpr_convert_int(TlvprOut *out, TlvprConvState *cs, char conv, TlvprArgs *args) {
  int raw = tlvpr_arg_int(args, cs->pos);
  bool is_signed = conv == 'd' || conv == 'i';
  uint32_t mag;
  bool negative = false;
  if (is_signed) {
    int32_t v = cs->length == 'h' ? (int32_t)(int16_t)raw : (int32_t)raw;
    negative = v < 0;
    mag = negative ? (uint32_t)0 - (uint32_t)v : (uint32_t)v;
  } else {
    mag = cs->length == 'h' ? (uint32_t)(uint16_t)raw : (uint32_t)raw;
  }
  const char *digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char buf[16];
  int n = (int)sizeof buf;
  uint32_t v = mag;
  // Constant divisors let the compiler turn each division into a multiply or shift.
  if (conv == 'o') {
    do buf[--n] = (char)('0' + (v & 7));
    while ((v >>= 3) != 0);
  } else if (conv == 'x' || conv == 'X') {
    do buf[--n] = digits[v & 15];
    while ((v >>= 4) != 0);
  } else {
    do {
      buf[--n] = (char)('0' + v % 10);
      v /= 10;
    } while (v != 0);
  }
  int len = (int)sizeof buf - n;
  uint64_t zeros = (cs->prec_given && cs->prec > len) ? (uint64_t)(cs->prec - len) : 0;
  const char *prefix = nullptr;
  if (cs->alt && conv == 'o' && zeros == 0 && buf[n] != '0') prefix = "0";
  if (cs->alt && mag != 0 && conv == 'x') prefix = "0x";
  if (cs->alt && mag != 0 && conv == 'X') prefix = "0X";
  char sign = is_signed ? tlvpr_sign_of(cs, negative) : 0;
  return tlvpr_emit(out, cs, sign, prefix, zeros, buf + n, (size_t)len);
}

// tlvpr_convert_float - e E f g G; infinities and NaN give inf / nan (INF / NAN
// for the upper-case conversions), padded with spaces.
static bool tlvpr_convert_float(TlvprOut *out, TlvprConvState *cs, char conv, TlvprArgs *args) {
  double value = tlvpr_arg_double(args, cs->pos);
  char body[TLVPR_FORMAT_BODY];
  TlvprText text = {body, 0, (int)sizeof body};
  bool upper = conv == 'E' || conv == 'G';
  int prec = cs->prec_given ? cs->prec : 6;
  char sign;
  if (isinf(value) || isnan(value)) {
    tlvpr_text_puts(&text, isinf(value) ? (upper ? "INF" : "inf") : (upper ? "NAN" : "nan"));
    sign = tlvpr_sign_of(cs, signbit(value) != 0);
    cs->pad = ' ';
  } else {
    TlvprDigits digits;
    if (conv == 'e' || conv == 'E') {
      tlvpr_cvt(value, prec < INT_MAX ? prec + 1 : prec, true, &digits);
      tlvpr_form_e(&text, &digits, prec, cs->alt, conv);
    } else if (conv == 'f') {
      tlvpr_cvt(value, prec, false, &digits);
      tlvpr_form_f(&text, &digits, prec, cs->alt);
    } else {
      tlvpr_cvt(value, prec == 0 ? 1 : prec, true, &digits);
      tlvpr_form_g(&text, &digits, cs->alt, upper);
    }
    sign = tlvpr_sign_of(cs, digits.negative);
  }
  return tlvpr_emit(out, cs, sign, nullptr, 0, body, (size_t)text.len);
}

// tlvpr_convert_p - the p conversion with its selector character, which *fmt
// points at; *fmt is left on the last character consumed. Sets *end when the
// format ends at the selector.
static bool tlvpr_convert_p(TlvprOut *out, TlvprConvState *cs, const char **fmt, TlvprArgs *args,
                            bool *end) {
  char sel = **fmt;
  if (sel == '\0') {
    *end = true;
    return true;
  }
  char body[40];
  TlvprText text = {body, 0, (int)sizeof body};
  if (sel == 'A' || sel == 'I') {
    const unsigned char *p = (const unsigned char *)tlvpr_arg_ptr(args, cs->pos);
    if (p == nullptr) {
      tlvpr_text_puts(&text, "(null)");
    } else {
      // The socket address record: 2-byte family, 2-byte port, 4-byte address.
      const unsigned char *addr = sel == 'I' ? p + 4 : p;
      for (int i = 0; i < 4; i++) {
        if (i > 0) tlvpr_text_put(&text, '.');
        tlvpr_text_uint(&text, addr[i]);
      }
      if (sel == 'I') {
        tlvpr_text_put(&text, ':');
        tlvpr_text_uint(&text, (uint32_t)p[2] << 8 | p[3]);
      }
    }
    if (cs->prec_given && cs->prec < text.len) text.len = cs->prec;
    cs->pad = ' ';
  } else if (sel == 'p') {
    uintptr_t v = (uintptr_t)tlvpr_arg_ptr(args, cs->pos);
    char hex[2 * sizeof v];
    int n = (int)sizeof hex;
    do {
      hex[--n] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    while (n < (int)sizeof hex) tlvpr_text_put(&text, hex[n++]);
    cs->pad = ' ';
  } else {
    tlvpr_text_puts(&text, "bogus %p");
  }
  return tlvpr_emit(out, cs, 0, nullptr, 0, body, (size_t)text.len);
}

// tlvpr_run - the main pass. Result as tlvpr_format's, with 1 for a malformed
// positional directive found on the way.
static int tlvpr_run(TlvprOut *out, const char *fmt, TlvprArgs *args) {
  const char *f = fmt;
  while (*f != '\0') {
    if (*f != '%') {
      const char *run = f;
      f = strchrnul(f, '%');
      if (!tlvpr_out_mem(out, run, (size_t)(f - run))) return -1;
      continue;
    }
    f++;
    if (*f == '\0') break;
    TlvprConvState cs;
    if (!(*f >= 'a' && *f <= 'z')) {
      tlvpr_parse_flags(&f, &cs);
      if (*f >= '0' && *f <= '9') {
        int n = tlvpr_parse_number(&f);
        if (*f == '$') {
          if (args->slots == nullptr) return 1;
          cs.pos = n;
          args->next = n;
          f++;
          // Flags and a width may also follow the position, as in "%1$-8s".
          tlvpr_parse_flags(&f, &cs);
          if (*f >= '0' && *f <= '9') {
            n = tlvpr_parse_number(&f);
            if (*f == '$') return 1;
            cs.width = n;
            cs.width_given = true;
          }
        } else {
          cs.width = n;
          cs.width_given = true;
        }
      }
      if (*f == '*') {
        f++;
        int w;
        if (!tlvpr_parse_star(&f, args, &w)) return 1;
        cs.width_given = true;
        if (w < 0) {
          cs.right = false;
          w = w == INT_MIN ? INT_MAX : -w;
        }
        cs.width = w;
      }
      if (*f == '.') {
        f++;
        cs.prec_given = true;
        if (*f >= '0' && *f <= '9') {
          cs.prec = tlvpr_parse_number(&f);
        } else if (*f == '*') {
          f++;
          int p;
          if (!tlvpr_parse_star(&f, args, &p)) return 1;
          cs.prec = p < 0 ? 0 : p;
        }
      }
    }
    if (*f == 'q' || *f == 'l' || *f == 'h') cs.length = *f++;
    char conv = *f;
    if (conv == '\0') break;
    bool ok = true;
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        ok = tlvpr_convert_int(out, &cs, conv, args);
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
        ok = tlvpr_convert_float(out, &cs, conv, args);
        break;
      case '%':
        cs.pad = ' ';
        ok = tlvpr_emit(out, &cs, 0, nullptr, 0, "%", 1);
        break;
      case 'c': {
        char c = (char)tlvpr_arg_int(args, cs.pos);
        cs.pad = ' ';
        ok = tlvpr_emit(out, &cs, 0, nullptr, 0, &c, 1);
        break;
      }
      case 's': {
        const char *s = (const char *)tlvpr_arg_ptr(args, cs.pos);
        size_t len;
        if (s == nullptr) {
          s = "(null)";
          len = 6;
        } else {
          len = cs.prec_given ? strnlen(s, (size_t)cs.prec) : strlen(s);
        }
        cs.pad = ' ';
        ok = tlvpr_emit(out, &cs, 0, nullptr, 0, s, len);
        break;
      }
      case 'n': {
        void *p = tlvpr_arg_ptr(args, cs.pos);
        int produced = out->count > (uint64_t)INT_MAX ? INT_MAX : (int)out->count;
        if (p != nullptr) {
          if (cs.length == 'h')
            *(short *)p = (short)produced;
          else
            *(int *)p = produced;
        }
        break;
      }
      case 'p': {
        f++;
        bool end = false;
        ok = tlvpr_convert_p(out, &cs, &f, args, &end);
        if (end) return 0;
        break;
      }
      default: {
        char text[2] = {'%', conv};
        cs.pad = ' ';
        ok = tlvpr_emit(out, &cs, 0, nullptr, 0, text, 2);
        break;
      }
    }
    if (!ok) return -1;
    f++;
  }
  return 0;
}

}  // namespace

// tlvpr_format - runs the engine on one format; in positional mode the
// arguments are first read into the table (on the stack up to 8 positions).
int tlvpr_format(TlvprFlush flush, TlvprSink *sink, const char *format, va_list args) {
  if (sink == nullptr) return 1;
  TlvprOut out = {flush, sink, sink->cur, sink->end, 0, false};
  if (format == nullptr) format = "";

  va_list ap;
  va_copy(ap, args);
  TlvprArgs in = {&ap, nullptr, 0, 1};
  uint64_t stack_slots[TLVPR_FORMAT_STACK_ARGS];
  unsigned char stack_kinds[TLVPR_FORMAT_STACK_ARGS];
  void *heap = nullptr;
  int rc;
  if (tlvpr_is_positional(format)) {
    int count = tlvpr_prepass(format, nullptr);
    if (count < 0) {
      va_end(ap);
      return 1;
    }
    uint64_t *slots = stack_slots;
    unsigned char *kinds = stack_kinds;
    if (count > TLVPR_FORMAT_STACK_ARGS) {
      heap = tlvpr_malloc((size_t)count * (sizeof *slots + sizeof *kinds));
      if (heap == nullptr) {
        va_end(ap);
        return 1;
      }
      slots = (uint64_t *)heap;
      kinds = (unsigned char *)(slots + count);
    }
    memset(kinds, TLVPR_ARG_INT, (size_t)count);
    tlvpr_prepass(format, kinds);
    for (int i = 0; i < count; i++) {
      in.slots = nullptr;
      in.next = i + 1;
      slots[i] = tlvpr_arg_bits(&in, 0, (TlvprArgKind)kinds[i]);
    }
    in.slots = slots;
    in.count = count;
    in.next = 1;
  }
  rc = tlvpr_run(&out, format, &in);
  va_end(ap);
  tlvpr_free(heap);
  if (rc == 1) return 1;
  sink->cur = out.cur;
  if (rc < 0) return -1;
  return out.count > (uint64_t)INT_MAX ? INT_MAX : (int)out.count;
}

// tlvpr_snprintf_stop - the bounded front ends' flush: a full buffer stops.
static int tlvpr_snprintf_stop(TlvprSink *) { return -1; }

// tlvpr_vsnprintf - formats into buffer[0..size-1] and terminates the text.
int tlvpr_vsnprintf(char *buffer, size_t size, const char *format, va_list args) {
  TlvprSink sink;
  sink.cur = buffer;
  // A size of 0 leaves no room at all: the sink is full from the start.
  sink.end = buffer == nullptr ? nullptr : buffer + (size > 0 ? size - 1 : 0);
  int rc = tlvpr_format(tlvpr_snprintf_stop, &sink, format, args);
  if (size != 0 && sink.cur != nullptr) *sink.cur = '\0';
  if (rc == -1) return size > (size_t)INT_MAX ? INT_MAX : (int)size;
  return rc;
}

// tlvpr_snprintf - tlvpr_vsnprintf with variable arguments.
int tlvpr_snprintf(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = tlvpr_vsnprintf(buffer, size, format, args);
  va_end(args);
  return rc;
}
