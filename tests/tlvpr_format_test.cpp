// Tests of the formatter (tlvpr_format, tlvpr_snprintf, tlvpr_vsnprintf) and
// of the string helpers of tlvpr_strings.

#include <arpa/inet.h>
#include <math.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"

namespace {

// F - the whole text of one format through tlvpr_vsnprintf (big enough buffer).
std::string F(const char *format, ...) {
  std::vector<char> buf(4096);
  va_list args;
  va_start(args, format);
  int rc = tlvpr_vsnprintf(buf.data(), buf.size(), format, args);
  va_end(args);
  EXPECT_GE(rc, 0) << format;
  return std::string(buf.data(),
                     rc >= 0 && (size_t)rc < buf.size() ? (size_t)rc : strlen(buf.data()));
}

struct Row {
  const char *what;
  std::string got;
  std::string want;
};

void check_rows(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.got, row.want);
  }
}

TEST(TlvprFormat, IntegerConversionsFlagsWidthPrecision) {
  check_rows({
      {"%.02u 7", F("%.02u", 7), "07"},
      {"time suffix", F("%u%.02u%.02u%.02u%.02u", 2004, 12, 7, 15, 0), "200412071500"},
      {"%5d 42", F("%5d", 42), "   42"},
      {"%-*d 5 42", F("%-*d", 5, 42), "42   "},
      {"%0*d 5 -42", F("%0*d", 5, -42), "-0042"},
      {"%#x 255", F("%#x", 255), "0xff"},
      {"%#x 0", F("%#x", 0), "0"},
      {"%#0*x 8 255", F("%#0*x", 8, 255), "00000xff"},
      {"%-0*d 5 42", F("%-0*d", 5, 42), "42000"},
      {"%*d negative width", F("%*d|", -4, 7), "7   |"},
      {"%+d", F("%+d %+d", 5, -5), "+5 -5"},
      {"% d", F("% d % d", 5, -5), " 5 -5"},
      {"plus beats space", F("%+ d", 5), "+5"},
      {"%.0d 0 keeps a digit", F("%.0d|%.0x|%.0o", 0, 0, 0), "0|0|0"},
      {"%.5d -42", F("%.5d", -42), "-00042"},
      {"%#o", F("%#o %#o %#.4o", 8, 0, 8), "010 0 0010"},
      {"%X", F("%X %x", 0xABCDEFu, 0xABCDEFu), "ABCDEF abcdef"},
      {"%#X", F("%#X", 255), "0XFF"},
      {"%u of -1", F("%u", -1), "4294967295"},
      {"INT_MIN", F("%d", INT32_MIN), "-2147483648"},
      {"%hd narrows with sign", F("%hd %hi", 0x18000, 65535), "-32768 -1"},
      {"%hu zero-extends", F("%hu %hx", -1, 0x12345), "65535 2345"},
      {"l and q are 32 bits", F("%ld %qu %lx", -3, 7u, 0xffu), "-3 7 ff"},
      {"%0 5d", F("%0 5d", 42), " 0042"},
      {"zero pad with precision", F("%06.3d", 7), "000007"},
  });
}

TEST(TlvprFormat, TextCharacterAndUnknownConversions) {
  const char *null_text = nullptr;
  check_rows({
      {"%s null", F("%s", null_text), "(null)"},
      {"%.3s null keeps six", F("%.3s", null_text), "(null)"},
      {"%.*s 3", F("%.*s", 3, "abcdef"), "abc"},
      {"%.*s -1", F("[%.*s]", -1, "abcdef"), "[]"},
      {"%.s", F("[%.s]", "abc"), "[]"},
      {"%-6s|", F("%-6s|%6s", "ab", "cd"), "ab    |    cd"},
      {"%05s pads with blanks", F("%05s", "ab"), "   ab"},
      {"%c", F("%c%c", 'o', 'k'), "ok"},
      {"%03c", F("%03c", 'x'), "  x"},
      {"%k", F("%k"), "%k"},
      {"%5k", F("%5k"), "   %k"},
      {"%%", F("100%% %d", 1), "100% 1"},
      {"%5%", F("%5%"), "    %"},
      {"% at end", F("abc%"), "abc"},
      {"%l at end", F("abc%l"), "abc"},
      {"%h unknown after length", F("%hy"), "%y"},
  });
}

TEST(TlvprFormat, PConversionSelectors) {
  unsigned char addr[4] = {192, 168, 0, 1};
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(25);
  memcpy(&sa.sin_addr, addr, 4);
  struct sockaddr_in hi = sa;
  hi.sin_port = htons(65535);
  const void *null_ptr = nullptr;
  check_rows({
      {"%pX bogus takes nothing", F("%pX %d", 5), "bogus %p 5"},
      {"%pA", F("%pA", addr), "192.168.0.1"},
      {"%pI", F("%pI", &sa), "192.168.0.1:25"},
      {"%pI high port", F("%pI", &hi), "192.168.0.1:65535"},
      {"%pA null", F("%pA", null_ptr), "(null)"},
      {"%pI null", F("%pI", null_ptr), "(null)"},
      {"%.5pA cut", F("%.5pA", addr), "192.1"},
      {"%14pA", F("%14pA|", addr), "   192.168.0.1|"},
      {"%pp", F("%pp", (void *)0xdeadbeefUL), "deadbeef"},
      {"%pp null", F("%pp", null_ptr), "0"},
      {"%010pX keeps zero pad", F("%010pX", 1), "00bogus %p"},
      {"%p at end", F("x%p"), "x"},
  });
}

TEST(TlvprFormat, FloatingPointForms) {
  check_rows({
      {"%g 0.5", F("%g", 0.5), ".5"},
      {"%g 100000", F("%g", 100000.0), "1.e+5"},
      {"%g 1234567", F("%g", 1234567.0), "1234570"},
      {"%g 123.456", F("%g", 123.456), "123.456"},
      {"%g 0", F("%g", 0.0), "0"},
      {"%g 0.0001", F("%g", 0.0001), ".0001"},
      {"%g 0.00001", F("%g", 0.00001), "1.e-5"},
      {"%g 1e-10", F("%g", 1e-10), "1.e-10"},
      {"%g 1e100", F("%g", 1e100), "1.e+100"},
      {"%g 2.5", F("%g", 2.5), "2.5"},
      {"%g 100", F("%g", 100.0), "100"},
      {"%#g 100", F("%#g", 100.0), "100."},
      {"%#g 0.5", F("%#g", 0.5), ".5"},
      {"%G 1e-5", F("%G", 1.5e-5), "1.5E-5"},
      {"%g -2.5", F("%g", -2.5), "-2.5"},
      {"%+g", F("%+g", 2.5), "+2.5"},
      {"%.0g counts as 1", F("%.0g", 27.0), "30"},
      {"%.3g 99.99 carries", F("%.3g", 99.99), "100"},
      {"%e 1", F("%e", 1.0), "1.000000e+00"},
      {"%e 0", F("%e", 0.0), "0.000000e-01"},
      {"%e 123.456", F("%e", 123.456), "1.234560e+02"},
      {"%E 0.00123", F("%E", 0.00123), "1.230000E-03"},
      {"%.0e", F("%.0e", 5.0), "5e+00"},
      {"%#.0e", F("%#.0e", 5.0), "5.e+00"},
      {"%e 1e100", F("%e", 1e100), "1.000000e+100"},
      {"%.2e 9.999 carries", F("%.2e", 9.999), "1.00e+01"},
      {"%f 1", F("%f", 1.0), "1.000000"},
      {"%f 0", F("%f", 0.0), "0.000000"},
      {"%.2f 3.14159", F("%.2f", 3.14159), "3.14"},
      {"%.2f 0.005 half up", F("%.2f", 0.005), "0.01"},
      {"%.2f 0.05", F("%.2f", 0.05), "0.05"},
      {"%.0f 0.5 half up", F("%.0f", 0.5), "1"},
      {"%.0f 2.5 half up", F("%.0f", 2.5), "3"},
      {"%#.0f", F("%#.0f", 3.0), "3."},
      {"%.1f 9.96 carries", F("%.1f", 9.96), "10.0"},
      {"%.3f -0.25", F("%.3f", -0.25), "-0.250"},
      {"%08.2f -1.5", F("%08.2f", -1.5), "-0001.50"},
      {"%-8.2f|", F("%-8.2f|", 1.5), "1.50    |"},
      {"% f", F("% .1f", 1.0), " 1.0"},
      {"%.3f 1e-5 empty digits", F("%.3f", 1e-5), "0.000"},
      {"%.10f 1e-300", F("%.10f", 1e-300), "0.0000000000"},
      {"%f 1234567.125", F("%.3f", 1234567.125), "1234567.125"},
  });
}

// Values and widths that would write outside fixed buffers if the conversion
// were built in one: the text stays bounded and sane.
TEST(TlvprFormat, HugeValuesWidthsAndPrecisionsStayInBounds) {
  std::string big = F("%f", 1e300);
  EXPECT_EQ(big.size(), 301u + 7u);
  EXPECT_EQ(big.substr(0, 12), "100000000000");  // later digits carry the generator's error
  EXPECT_EQ(big.substr(big.size() - 7), ".000000");
  std::string max = F("%.0f", 1.7976931348623157e308);
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 6), "179769");
  EXPECT_EQ(F("%e", 1e300), "1.000000e+300");
  EXPECT_EQ(F("%e", 5e-324).substr(8), "e-324");
  EXPECT_EQ(F("%g", 1e308), "1.e+308");
  EXPECT_EQ(F("%.3f", -1e300).size(), 302u + 4u);

  std::string wide = F("%.100f", 1.0);
  EXPECT_EQ(wide, "1." + std::string(78, '0'));
  EXPECT_EQ(F("%.200e", 1.0), "1." + std::string(77, '0') + "e+00");
  std::string prec = F("%.600d", 5);
  EXPECT_EQ(prec, std::string(599, '0') + "5");
  EXPECT_EQ(F("%3000d", 1).size(), 3000u);
  EXPECT_EQ(F("%.*f", 1000000, 0.5).size(), 80u);

  char buf[16];
  memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(tlvpr_snprintf(buf, 8, "%2147483647d", 1), 8);
  EXPECT_STREQ(buf, "       ");
  EXPECT_EQ(buf[8], 'Z');
  EXPECT_EQ(tlvpr_snprintf(buf, 8, "%.2147483647d", 1), 8);
  EXPECT_STREQ(buf, "0000000");
  EXPECT_EQ(tlvpr_snprintf(buf, 8, "%99999999999999999999d", 1), 8);
  EXPECT_EQ(tlvpr_snprintf(buf, 8, "%.*e", 2147483647, 1.0), 8);
  EXPECT_STREQ(buf, "1.00000");
  EXPECT_EQ(tlvpr_snprintf(buf, 8, "%*d", INT32_MIN, 1), 8);
  EXPECT_STREQ(buf, "1      ");
  EXPECT_EQ(buf[8], 'Z');
  // The count of a very wide field saturates instead of wrapping.
  EXPECT_EQ(tlvpr_snprintf(nullptr, 0, "%2147483647d%2147483647d", 1, 2), 2147483647);
}

TEST(TlvprFormat, InfinityAndNan) {
  check_rows({
      {"%f inf", F("%f", INFINITY), "inf"},
      {"%f -inf", F("%f", -INFINITY), "-inf"},
      {"%e nan", F("%e", NAN), "nan"},
      {"%G inf", F("%G", INFINITY), "INF"},
      {"%E nan", F("%E", NAN), "NAN"},
      {"%+g inf", F("%+g", INFINITY), "+inf"},
      {"%06f inf pads with blanks", F("%06f", -INFINITY), "  -inf"},
      {"%-5f|", F("%-5f|", INFINITY), "inf  |"},
  });
}

TEST(TlvprFormat, PositionalArguments) {
  check_rows({
      {"%2$s %1$s", F("%2$s %1$s", "a", "b"), "b a"},
      {"mixed kinds", F("%3$s %1$d %2$.2f", 7, 2.5, "x"), "x 7 2.50"},
      {"star with position", F("%1$*2$d|", 42, 5), "   42|"},
      {"precision with position", F("%1$.*2$f", 3.14159, 2), "3.14"},
      {"flags and width after the position", F("[%1$-6s][%2$08.3f][%1$5s]", "ab", -2.5),
       "[ab    ][-002.500][   ab]"},
      {"reused position", F("%1$d %1$d", 9), "9 9"},
      {"undescribed position is an int", F("%1$d %3$s", 1, 0, "z"), "1 z"},
      {"p selector in a positional format", F("%2$pA %1$d", 3, "\x01\x02\x03\x04"), "1.2.3.4 3"},
      {"twelve positions (heap table)",
       F("%12$d%11$d%10$d%9$d%8$d%7$d%6$d%5$d%4$d%3$d%2$d%1$s", "x", 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
         12),
       "12111098765432x"},
      {"mixed double and pointer slots over 8", F("%9$s%1$g%8$g", 0.5, 0, 0, 0, 0, 0, 0, 1.5, "s"),
       "s.51.5"},
  });
}

TEST(TlvprFormat, MalformedPositionalGivesOneAndEmptyText) {
  const char *malformed[] = {
      "%1$s %s",    // a conversion without a position
      "%1$s %%",    // "%%" in a positional format
      "%1$*d",      // "*" without its own position
      "%1$.*d",     // precision "*" without its own position
      "%-1$d",      // flags before the position
      "%0$d",       // position 0
      "%1$2$d",     // a second position where the width goes
      "%300$d",     // beyond the highest position
      "%*3d",       // "*" with digits and no "$"
      "text %*3d",  // the text before a malformed conversion is not kept
      "% 1$d",      // position after a space flag outside positional mode
  };
  for (const char *format : malformed) {
    SCOPED_TRACE(format);
    char buf[32];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(tlvpr_snprintf(buf, sizeof buf, format, 1, 2, 3), 1);
    EXPECT_STREQ(buf, "");
  }
}

TEST(TlvprFormat, PositionalHeapTableAllocationFailureGivesOne) {
  hdrw_test::HookGuard guard;
  tlvpr_fault_arm(1);
  char buf[32] = "unchanged";
  int rc = tlvpr_snprintf(buf, sizeof buf, "%9$d%1$d", 1, 2, 3, 4, 5, 6, 7, 8, 9);
  uint64_t used = tlvpr_fault_disarm();
  EXPECT_EQ(rc, 1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(used, 1u);
  // Eight positions stay on the stack: nothing is allocated.
  tlvpr_fault_arm(1);
  rc = tlvpr_snprintf(buf, sizeof buf, "%8$d%1$d", 1, 2, 3, 4, 5, 6, 7, 8);
  EXPECT_EQ(tlvpr_fault_disarm(), 0u);
  EXPECT_EQ(rc, 2);
  EXPECT_STREQ(buf, "81");
}

TEST(TlvprFormat, BoundedBufferCutsAndTerminates) {
  char buf[16];
  memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(tlvpr_snprintf(buf, 4, "abcdef"), 4);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'Z');
  EXPECT_EQ(tlvpr_snprintf(buf, 10, "abcdef"), 6);
  EXPECT_STREQ(buf, "abcdef");
  EXPECT_EQ(tlvpr_snprintf(buf, 4, "abc"), 3);  // fits exactly
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(tlvpr_snprintf(buf, 1, "abc"), 1);
  EXPECT_STREQ(buf, "");
  memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(tlvpr_snprintf(buf, 0, "abc"), 0);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(tlvpr_snprintf(buf, 0, ""), 0);
  EXPECT_EQ(tlvpr_snprintf(nullptr, 0, "%s-%d", "abc", 12345), 9);
  // A cut stops the engine: a later %n is not evaluated.
  int n = -1;
  EXPECT_EQ(tlvpr_snprintf(buf, 3, "abcd%n", &n), 3);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(tlvpr_snprintf(buf, sizeof buf, "ab%ncd%hn", &n, &n), 4);
  EXPECT_EQ(n & 0xffff, 4);
  short h = -1;
  EXPECT_EQ(tlvpr_snprintf(buf, sizeof buf, "abc%hn", &h), 3);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(tlvpr_snprintf(buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "");
}

// A flush operation that drains the buffer into a string, so the engine can
// produce more than the buffer holds.
struct DrainSink {
  TlvprSink sink;
  char buf[5];
  std::string text;
  int flushes;
};

int drain(TlvprSink *sink) {
  DrainSink *d = reinterpret_cast<DrainSink *>(sink);
  d->text.append(d->buf, (size_t)(sink->cur - d->buf));
  d->flushes++;
  if (d->flushes > 100) return 1;
  sink->cur = d->buf;
  sink->end = d->buf + sizeof d->buf;
  return 0;
}

int format_plain(TlvprSink *sink, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = tlvpr_format(nullptr, sink, format, args);
  va_end(args);
  return rc;
}

int format_into(DrainSink *d, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = tlvpr_format(drain, &d->sink, format, args);
  va_end(args);
  return rc;
}

TEST(TlvprFormat, EngineFlushMakesRoomOrStops) {
  DrainSink d = {};
  d.sink.cur = d.buf;
  d.sink.end = d.buf + sizeof d.buf;
  int rc = format_into(&d, "%s=%08d;", "alpha", 42);
  ASSERT_EQ(rc, 15);
  d.text.append(d.buf, (size_t)(d.sink.cur - d.buf));
  EXPECT_EQ(d.text, "alpha=00000042;");
  EXPECT_EQ(d.flushes, 2);

  DrainSink s = {};
  s.sink.cur = s.buf;
  s.sink.end = s.buf + sizeof s.buf;
  s.flushes = 100;  // the next flush stops
  EXPECT_EQ(format_into(&s, "abcdefgh"), -1);
  EXPECT_EQ(s.sink.cur, s.buf + 5);

  TlvprSink count = {nullptr, nullptr};
  EXPECT_EQ(format_plain(&count, "%d|%s", 12345, "abc"), 9);
  EXPECT_EQ(count.cur, nullptr);
}

// Random integer, character, text and percent conversions compared with the C
// library, on the combinations where both define the same text. They differ by
// design, so those are left out:
// - "0" together with a precision on an integer: the pad stays "0" here;
// - a zero precision on a zero value: "0" here, nothing in the C library;
// - a negative "*" precision: 0 here, "no precision" in the C library;
// - a width on "%%": padded here, ignored by the C library;
// - the floating-point forms (own digit generator; %g of 0.5 gives ".5",
//   100000 gives "1.e+5", trailing zeros always dropped; half-up rounding;
//   -0.0 has no sign), so e, f and g are checked against the rows above;
// - the "h" length modifier and "l" (integers are 32 bits here).
TEST(TlvprFormat, RandomisedAgreementWithCLibrary) {
  std::mt19937 rng(20041207u);
  const char convs[] = "diuoxXcs%";
  const char *texts[] = {"", "a", "hello", "mail filter", "0123456789abcdef"};
  const int ints[] = {0, 1, -1, 7, 42, -42, 255, 65535, 100000, INT32_MAX, INT32_MIN, 123456789};
  for (int iter = 0; iter < 20000; iter++) {
    char conv = convs[rng() % (sizeof convs - 1)];
    std::string directive = "%";
    bool zero = false;
    for (int k = rng() % 4; k > 0; k--) {
      char flag = "-+ #0"[rng() % 5];
      if (flag == '0') zero = true;
      directive += flag;
    }
    bool star_width = false;
    int width = 0;
    if (conv != '%') {
      switch (rng() % 3) {
        case 1:
          width = (int)(rng() % 25);
          directive += std::to_string(width);
          break;
        case 2:
          star_width = true;
          width = (int)(rng() % 41) - 20;
          directive += '*';
          break;
      }
    }
    bool has_prec = conv != '%' && conv != 'c' && rng() % 2 == 0;
    int prec = has_prec ? (int)(rng() % 15) : 0;
    bool star_prec = has_prec && rng() % 3 == 0;
    if (has_prec) directive += star_prec ? ".*" : "." + std::to_string(prec);
    directive += conv;
    bool integer = strchr("diuoxX", conv) != nullptr;
    int value = ints[rng() % (sizeof ints / sizeof ints[0])];
    if (conv == 'c') value = 'a' + (int)(rng() % 26);
    bool left = directive.find('-') != std::string::npos || (star_width && width < 0);
    if (integer && zero && has_prec) continue;
    if (integer && zero && left) continue;
    if ((conv == 'x' || conv == 'X') && zero && directive.find('#') != std::string::npos) continue;
    if (integer && has_prec && prec == 0 && value == 0) continue;
    const char *text = texts[rng() % (sizeof texts / sizeof texts[0])];
    std::string format = "<" + directive + ">";
    char want[256], got[256];
    int want_rc, got_rc;
#define BOTH(...)                                                          \
  do {                                                                     \
    want_rc = snprintf(want, sizeof want, format.c_str(), __VA_ARGS__);    \
    got_rc = tlvpr_snprintf(got, sizeof got, format.c_str(), __VA_ARGS__); \
  } while (0)
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wformat-nonliteral\"")
        _Pragma("GCC diagnostic ignored \"-Wformat-security\"") if (conv == '%') {
      want_rc = snprintf(want, sizeof want, format.c_str(), 0);
      got_rc = tlvpr_snprintf(got, sizeof got, format.c_str(), 0);
    }
    else if (conv == 's') {
      if (star_width && star_prec)
        BOTH(width, prec, text);
      else if (star_width)
        BOTH(width, text);
      else if (star_prec)
        BOTH(prec, text);
      else
        BOTH(text, 0);
    }
    else {
      if (star_width && star_prec)
        BOTH(width, prec, value);
      else if (star_width)
        BOTH(width, value);
      else if (star_prec)
        BOTH(prec, value);
      else
        BOTH(value, 0);
    }
    _Pragma("GCC diagnostic pop")
#undef BOTH
        SCOPED_TRACE(format + " width " + std::to_string(width) + " prec " + std::to_string(prec) +
                     " value " + std::to_string(value) + " text " + text);
    ASSERT_STREQ(got, want);
    ASSERT_EQ(got_rc, want_rc);
  }
}

TEST(TlvprFormat, ConcurrentCallsShareNothing) {
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([t, &results] {
      std::string all;
      for (int i = 0; i < 2000; i++) all = F("%2$s-%1$08.3f-%3$d", t + 0.5, "t", i);
      results[t] = all;
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < 4; t++) EXPECT_EQ(results[t], "t-000" + std::to_string(t) + ".500-1999");
}

TEST(TlvprStrings, CopyAndComparisons) {
  char *copy = tlvpr_strdup("header");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "header");
  tlvpr_free(copy);
  EXPECT_EQ(tlvpr_strdup(nullptr), nullptr);
  {
    hdrw_test::HookGuard guard;
    tlvpr_fault_arm(1);
    EXPECT_EQ(tlvpr_strdup("x"), nullptr);
    tlvpr_fault_disarm();
  }
  struct {
    const char *a, *b;
    int cmp, icmp;
  } rows[] = {
      {"abc", "abc", 0, 0}, {"abc", "abd", -1, -1}, {"Subject", "subject", -1, 0},
      {"abc", "ab", 1, 1},  {"", "a", -1, -1},      {"\xe9", "a", 1, 1},  // bytes compare unsigned
      {"[", "a", -1, -1},  // '[' sorts before letters when folded to lower case
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.a) + " vs " + r.b);
    EXPECT_EQ(tlvpr_strcmp(r.a, r.b), r.cmp);
    EXPECT_EQ(tlvpr_strcmp_null(r.a, r.b), r.cmp);
    int i = tlvpr_stricmp(r.a, r.b);
    EXPECT_EQ(i < 0 ? -1 : i > 0 ? 1 : 0, r.icmp);
  }
  EXPECT_EQ(tlvpr_strnicmp("FROM: a", "from: b", 6), 0);
  EXPECT_LT(tlvpr_strnicmp("FROM: a", "from: b", 7), 0);
  EXPECT_EQ(tlvpr_strnicmp("x", "y", 0), 0);
  EXPECT_EQ(tlvpr_strnicmp("ab", "AB", 10), 0);
  EXPECT_EQ(tlvpr_strcmp_null(nullptr, nullptr), 0);
  EXPECT_EQ(tlvpr_strcmp_null(nullptr, ""), -1);
  EXPECT_EQ(tlvpr_strcmp_null("", nullptr), 1);
}

}  // namespace
