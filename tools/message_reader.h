// message_reader - the text of one input of a run over messages
//
// input_text(input, stdin_text, buffer) gives the content of a collected input
// (message_source.h): stdin_text for "-" (read once by the caller), else the
// file read into buffer (its room reused). A file that cannot be read throws
// Failure with one line naming the input by its display path.
#ifndef TOOLS_MESSAGE_READER_H
#define TOOLS_MESSAGE_READER_H

#include <string>
#include <string_view>

#include "message_source.h"

namespace hdrw_cli {

std::string_view input_text(const MessageInput &input, const std::string &stdin_text,
                            std::string &buffer);

}  // namespace hdrw_cli

#endif
