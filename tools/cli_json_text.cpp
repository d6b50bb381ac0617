// cli_json_text - JSON strings out, strict JSON in (contract in cli_json_text.h)
//
// The reader is a recursive descent over the RFC 8259 grammar that keeps its
// position for error messages; it builds the whole value, which is fine for
// the reports it reads (a few kilobytes per thousand rules).
// (tested in tests/cli_test.cpp, through the merge of rules stats)
#include "cli_json_text.h"

#include <cerrno>
#include <cstdlib>

namespace hdrw_cli {
namespace {

// json_utf8_length - the bytes of the UTF-8 sequence that starts at s[i] (a
// lead byte of 0xC2 to 0xF4 and its continuation bytes), 0 where none does.
// The writer passes such sequences and the reader takes exactly those, so a
// text the writer made reads back to the same bytes.
size_t json_utf8_length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t need = c >= 0xC2 && c <= 0xDF   ? 1
                      : c >= 0xE0 && c <= 0xEF ? 2
                      : c >= 0xF0 && c <= 0xF4 ? 3
                                               : 0;
  bool ok = need > 0 && i + need < s.size();
  for (size_t k = 1; ok && k <= need; ++k) {
    ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
  }
  return ok ? need + 1 : 0;
}

constexpr char kHex[] = "0123456789abcdef";
constexpr int kMaxDepth = 64;

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  JsonValue document() {
    JsonValue v = value(0);
    space();
    if (pos_ != text_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string &why) const {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw JsonError("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
                    why);
  }

  void space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) fail("unexpected character");
    pos_ += w.size();
  }

  JsonValue value(int depth) {
    if (depth > kMaxDepth) fail("nesting deeper than 64");
    space();
    if (pos_ >= text_.size()) fail("unexpected end of text");
    JsonValue v;
    const char c = text_[pos_];
    if (c == '{') {
      v.type = JsonValue::OBJECT;
      ++pos_;
      space();
      if (take('}')) return v;
      do {
        space();
        if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a member name");
        std::string name = string();
        for (const auto &m : v.members) {
          if (m.name == name) fail("member \"" + name + "\" given twice");
        }
        space();
        if (!take(':')) fail("expected ':'");
        v.members.push_back({std::move(name), value(depth + 1)});
        space();
      } while (take(','));
      if (!take('}')) fail("expected ',' or '}'");
    } else if (c == '[') {
      v.type = JsonValue::ARRAY;
      ++pos_;
      space();
      if (take(']')) return v;
      do {
        v.items.push_back(value(depth + 1));
        space();
      } while (take(','));
      if (!take(']')) fail("expected ',' or ']'");
    } else if (c == '"') {
      v.type = JsonValue::STRING;
      v.text = string();
    } else if (c == 't' || c == 'f') {
      v.type = JsonValue::BOOL;
      v.flag = c == 't';
      word(v.flag ? "true" : "false");
    } else if (c == 'n') {
      word("null");
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.type = JsonValue::NUMBER;
      v.text = number();
    } else {
      fail("unexpected character");
    }
    return v;
  }

  bool digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }

  std::string number() {
    const size_t start = pos_;
    take('-');
    if (take('0')) {
      if (digit()) fail("leading zero in a number");
    } else {
      if (!digit()) fail("expected a digit");
      while (digit()) ++pos_;
    }
    if (take('.')) {
      if (!digit()) fail("expected a digit after '.'");
      while (digit()) ++pos_;
    }
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digit()) fail("expected a digit in the exponent");
      while (digit()) ++pos_;
    }
    return std::string(text_.substr(start, pos_ - start));
  }

  unsigned hex4() {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      if (pos_ >= text_.size()) fail("unexpected end of text in an escape");
      const char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        fail("bad \\u escape");
      }
    }
    return v;
  }

  static void utf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string string() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) fail("control character in a string");
      if (c >= 0x80) {
        const size_t n = json_utf8_length(text_, pos_);
        if (n == 0) fail("a byte that is not UTF-8 in a string");
        out.append(text_.substr(pos_, n));
        pos_ += n;
        continue;
      }
      if (c != '\\') {
        out += static_cast<char>(c);
        ++pos_;
        continue;
      }
      ++pos_;
      if (pos_ >= text_.size()) fail("unterminated string");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xDC00 && cp <= 0xDFFF) fail("unpaired surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!take('\\') || !take('u')) fail("unpaired surrogate");
            const unsigned low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          utf8(out, cp);
          break;
        }
        default:
          --pos_;
          fail("bad escape");
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

[[noreturn]] void json_wrong(const std::string &path, const std::string &want) {
  throw JsonError(path + ": " + want);
}

}  // namespace

void append_json_string(std::string &out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      // UTF-8 sequences pass; any other byte is shown as the Latin-1
      // character of that value, so the text stays valid JSON.
      const size_t n = json_utf8_length(s, i);
      if (n != 0) {
        out.append(s.substr(i, n));
        i += n - 1;
      } else {
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
  }
  out += '"';
}

JsonValue json_parse(std::string_view text) { return JsonReader(text).document(); }

const JsonValue &json_member(const JsonValue &object, const std::string &name,
                             const std::string &path) {
  if (object.type != JsonValue::OBJECT) json_wrong(path, "expected an object");
  for (const auto &m : object.members) {
    if (m.name == name) return m.value;
  }
  json_wrong(path, "member \"" + name + "\" missing");
}

int64_t json_int64(const JsonValue &value, const std::string &path) {
  if (value.type != JsonValue::NUMBER || value.text.find_first_of(".eE") != std::string::npos) {
    json_wrong(path, "expected a whole number");
  }
  errno = 0;
  char *end = nullptr;
  const long long v = std::strtoll(value.text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') json_wrong(path, "number out of range");
  return v;
}

uint64_t json_uint64(const JsonValue &value, const std::string &path) {
  if (value.type != JsonValue::NUMBER || value.text.find_first_of(".eE-") != std::string::npos) {
    json_wrong(path, "expected a whole number of at least 0");
  }
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(value.text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') json_wrong(path, "number out of range");
  return v;
}

const std::string &json_string(const JsonValue &value, const std::string &path) {
  if (value.type != JsonValue::STRING) json_wrong(path, "expected a string");
  return value.text;
}

const std::vector<JsonValue> &json_array(const JsonValue &value, const std::string &path) {
  if (value.type != JsonValue::ARRAY) json_wrong(path, "expected an array");
  return value.items;
}

void json_check_members(const JsonValue &object, const std::vector<std::string> &names,
                        const std::string &path) {
  if (object.type != JsonValue::OBJECT) json_wrong(path, "expected an object");
  for (const auto &m : object.members) {
    bool known = false;
    for (const auto &n : names) known = known || n == m.name;
    if (!known) json_wrong(path, "unknown member \"" + m.name + "\"");
  }
}

}  // namespace hdrw_cli
