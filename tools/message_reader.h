// message_reader - the header blocks of one input of a run over messages
//
// header_limit_for(max_total_headers_length) is the most header bytes a run
// holds per message: the module's maxTotalHeadersLength, whose longer blocks
// the module judges spam unread, or, when the module has no limit (0) or one
// above kMaxHeaderBlock, the command's own ceiling kMaxHeaderBlock, above which
// a block is not evaluated (over_limit_reason says so in the line shown).
//
// read_header_blocks(input, limit, block, take) opens a collected input
// (message_source.h; standard input for "-") and hands take the header block of
// each of its messages in turn (a MessageReader with that limit, block reused).
// It returns "" when the whole input was read, else the one-line reason it
// could not be (the display path escaped with printable): "cannot open: ...",
// "is a directory" or "read error: ...". take may throw; the input is closed.
#ifndef TOOLS_MESSAGE_READER_H
#define TOOLS_MESSAGE_READER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "message_source.h"

namespace hdrw_cli {

constexpr size_t kMaxHeaderBlock = size_t{16}
                                   << 20;  // header bytes held when the module has no limit

struct HeaderLimit {
  size_t bytes;  // a longer block is over the limit
  bool ours;     // the command's ceiling, not the module's limit
};

HeaderLimit header_limit_for(uint32_t max_total_headers_length);
std::string over_limit_reason(const HeaderLimit &limit);
std::string read_header_blocks(const MessageInput &input, size_t limit, HeaderBlock &block,
                               const std::function<void(const HeaderBlock &)> &take);

}  // namespace hdrw_cli

#endif
