// unfold_reference - header unfolding written out byte by byte, the yardstick
// for the engine's unfolding (tests/kelh_engine_test.cpp, fuzz/kelh_fuzz.cpp)
//
// unfold_reference(block) unfolds a copy of the block as kelh_engine.h says:
// buffer holds the rewritten bytes (as long as the block); lines their offset
// in it, text and name hash; illegal is set when text follows the last line
// end (there are then no lines); ok when there is at least one line.
#ifndef TESTS_SUPPORT_UNFOLD_REFERENCE_H
#define TESTS_SUPPORT_UNFOLD_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hdrw_test {

struct UnfoldedLine {
  size_t offset;
  std::string text;
  uint32_t name_hash;
};

struct UnfoldReference {
  std::string buffer;
  std::vector<UnfoldedLine> lines;
  bool illegal;
  bool ok;
};

inline UnfoldReference unfold_reference(const std::string &block) {
  auto space = [](unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; };
  auto ordinary = [](unsigned char c) { return (c >= 0x21 && c <= 0x7E) || c >= 0x80; };
  UnfoldReference r = {block, {}, false, false};
  std::string &b = r.buffer;
  size_t i = 0;
  size_t j = 0;
  size_t start = 0;
  while (i < b.size()) {
    const unsigned char c = static_cast<unsigned char>(b[i]);
    if (ordinary(c)) {
      b[j++] = b[i++];
    } else if (!space(c)) {
      ++i;
    } else {
      bool end = false;
      do {
        end = end || (b[i] == '\n' && (i + 1 == b.size() || (b[i + 1] != ' ' && b[i + 1] != '\t')));
        ++i;
      } while (i < b.size() && !ordinary(static_cast<unsigned char>(b[i])));
      b[j++] = end ? '\x01' : ' ';
      if (end) {
        const std::string text = b.substr(start, j - 1 - start);
        const size_t colon = text.find(':');
        uint32_t hash = 0;
        for (size_t k = 0; k < text.size() && k < colon; ++k) {
          hash = hash * 33 + static_cast<unsigned char>(text[k]);
        }
        r.lines.push_back({start, text, colon == std::string::npos ? hash * 33 + 1 : hash});
        start = j;
      }
    }
  }
  r.illegal = j != start;
  if (r.illegal) {
    r.lines.clear();
  }
  r.ok = !r.lines.empty();
  return r;
}

}  // namespace hdrw_test

#endif
