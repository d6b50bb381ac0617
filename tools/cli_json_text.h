// cli_json_text - the command's JSON: writing strings, and a strict reader
//
// append_json_string(out, s) appends s as a JSON string: quotes, backslashes
// and control bytes escaped, well-formed UTF-8 passed through, any other byte
// written as the \u00XX escape of its Latin-1 character, so the text is valid
// JSON whatever the bytes.
//
// json_parse(text) reads one JSON value (RFC 8259) and nothing else but white
// space around it. It is strict: no comments, trailing commas, leading zeros,
// bare words, control bytes, unpaired surrogates or bytes that are not UTF-8
// (as append_json_string passes it) in strings, repeated member
// names, or nesting deeper than 64. Strings are decoded to UTF-8; numbers are
// kept as their literal text. A fault throws JsonError with the line and column
// (1-based) of the byte where it was found.
//
// The accessors throw JsonError naming the member's path when a value has
// another type or a number is not a whole number in range:
// json_member(object, name, path) finds a member (JsonError when absent);
// json_int64(value, path), json_uint64(value, path) read whole numbers;
// json_string(value, path) a string. json_check_members(object, names, path)
// refuses members outside names.
#ifndef TOOLS_CLI_JSON_TEXT_H
#define TOOLS_CLI_JSON_TEXT_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hdrw_cli {

struct JsonError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct JsonMember;

struct JsonValue {
  enum Type { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } type = NUL;
  bool flag = false;                // BOOL
  std::string text;                 // NUMBER literal, or STRING content (UTF-8)
  std::vector<JsonValue> items;     // ARRAY
  std::vector<JsonMember> members;  // OBJECT, in input order
};

// A member of an object. Its own type, not a pair: a pair of a type still
// being defined is not one every compiler takes.
struct JsonMember {
  std::string name;
  JsonValue value;
};

void append_json_string(std::string &out, std::string_view s);

JsonValue json_parse(std::string_view text);
const JsonValue &json_member(const JsonValue &object, const std::string &name,
                             const std::string &path);
int64_t json_int64(const JsonValue &value, const std::string &path);
uint64_t json_uint64(const JsonValue &value, const std::string &path);
const std::string &json_string(const JsonValue &value, const std::string &path);
const std::vector<JsonValue> &json_array(const JsonValue &value, const std::string &path);
void json_check_members(const JsonValue &object, const std::vector<std::string> &names,
                        const std::string &path);

}  // namespace hdrw_cli

#endif
