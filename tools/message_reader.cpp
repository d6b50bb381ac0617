// message_reader - opening an input and reading its header blocks (see the header)
// (tested in tests/cli_test.cpp and tests/rules_tools_test.cpp)
#include "message_reader.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "cli_texts.h"

namespace hdrw_cli {

HeaderLimit header_limit_for(uint32_t max_total_headers_length) {
  const bool ours = max_total_headers_length == 0 || max_total_headers_length > kMaxHeaderBlock;
  return {ours ? kMaxHeaderBlock : max_total_headers_length, ours};
}

std::string over_limit_reason(const HeaderLimit &limit) {
  return "header block longer than " + std::to_string(limit.bytes) + " bytes, not evaluated";
}

std::string read_header_blocks(const MessageInput &in, size_t limit, HeaderBlock &block,
                               const std::function<void(const HeaderBlock &)> &take) {
  int fd = STDIN_FILENO;
  if (in.open_path != "-") {
    fd = ::open(in.open_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return printable(in.display) + ": cannot open: " + errno_text(errno);
  }
  struct Closer {
    int fd;
    ~Closer() {
      if (fd != STDIN_FILENO) ::close(fd);
    }
  } closer{fd};
  MessageReader reader(fd, in.regular, limit);
  while (reader.next(block)) take(block);
  if (reader.error() == 0) return "";
  return printable(in.display) + ": " +
         (reader.error() == EISDIR ? "is a directory"
                                   : "read error: " + errno_text(reader.error()));
}

}  // namespace hdrw_cli
