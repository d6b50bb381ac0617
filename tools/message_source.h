// message_source - where the messages of a scan come from and how they are cut
//
// collect_inputs(operands, problems) turns the scan's operands into the files
// to read, in order: a file is itself; "-" is standard input; a directory is
// walked recursively, entries sorted by name within each directory, taking
// regular files (also through symbolic links) and not descending into linked
// directories, so a link cycle cannot trap the walk. A Maildir (a directory
// with "cur" and "new" subdirectories) gives the files of cur/ and new/ and its
// subfolders, never tmp/ (deliveries in progress) or its bookkeeping files.
// An operand that does not exist or a directory that cannot be listed adds a
// one-line reason to problems and the walk goes on. Display paths are built
// from the operand as written; open paths are absolute.
//
// split_messages(data) cuts the content of one file: a file whose first line
// begins with "From " is an mbox, cut at every "From " line that starts the
// file or follows an empty line; each message starts after its "From " line
// and ends before the empty line that separates it from the next. Any other
// file is one message. header_block_length(message) is the length of the
// header block: everything up to and including the first empty line (LF LF or
// LF CR LF), or the whole message when there is none.
#ifndef TOOLS_MESSAGE_SOURCE_H
#define TOOLS_MESSAGE_SOURCE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hdrw_cli {

struct MessageInput {
  std::string display;    // path shown in the output
  std::string open_path;  // absolute path to read; "-" for standard input
  bool regular;           // open_path named a regular file when it was listed
};

struct MessageSpan {
  size_t offset;         // first byte of the message in the file's content
  size_t length;         // bytes of the message
  size_t header_length;  // bytes of its header block (<= length)
  size_t number;         // 1-based position in an mbox; 0 for a plain message file
};

std::vector<MessageInput> collect_inputs(const std::vector<std::string> &operands,
                                         std::vector<std::string> &problems);
std::vector<MessageSpan> split_messages(std::string_view data);
size_t header_block_length(std::string_view message);

}  // namespace hdrw_cli

#endif
