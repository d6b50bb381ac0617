// cli_texts - errno texts, escaped text and status texts of the command's
// error lines (tested through the command in tests/cli_test.cpp)
#include "cli_texts.h"

#include <cstring>

#include "hdrw_host.h"
#include "tvr_messages.h"

namespace hdrw_cli {

std::string errno_text(int err) { return std::strerror(err); }

// printable - escapes what could break or forge a line of text output
std::string printable(const std::string &text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

// catalog_text - the catalog's text (argument places shown as "..."), or the
// text of a code that is only returned
std::string catalog_text(uint32_t code) {
  const char *returned = tvr_returned_text(code);
  if (returned != nullptr) return returned;
  char text[HDRW_HOST_ERROR_TEXT];
  hdrw_host_error_text(code, text, sizeof text);
  return text;
}

std::string code_text(uint32_t code) {
  return "[" + std::to_string(code) + "] " + catalog_text(code);
}

}  // namespace hdrw_cli
