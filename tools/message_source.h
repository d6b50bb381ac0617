// message_source - where the messages of a scan come from and how they are cut
//
// collect_inputs(operands, problems) turns the scan's operands into the files
// to read, in order: a file is itself; "-" is standard input; a directory is
// walked recursively, entries sorted by name within each directory, taking
// regular files (also through symbolic links) and not descending into linked
// directories, so a link cycle cannot trap the walk. A Maildir (a directory
// with "cur" and "new" subdirectories) gives the files of cur/ and new/ and its
// subfolders, never tmp/ (deliveries in progress) or its bookkeeping files.
// An operand that does not exist, a directory that cannot be listed or an
// entry that cannot be followed (a dangling link, a link loop) adds a one-line
// reason to problems (paths escaped with printable) and the walk goes on with
// everything else. Display paths are built from the operand as written; open
// paths are absolute.
//
// MessageReader reads the messages of one open file or stream and holds only
// their header blocks, so memory stays bounded whatever the input: a 64 KiB
// read block plus at most limit + 3 bytes of header. Content whose first line
// begins with "From " is an mbox, cut at every "From " line that starts the
// content or follows an empty line; each message starts after its "From " line
// and ends before the empty line that separates it from the next (a final LF
// LF loses one LF, CR LF CR LF one CR LF). Any other content is one message.
// A message's header block is everything up to and including its first empty
// line (LF LF or LF CR LF), or the whole message when there is none.
// next(block) gives the next message's header block: block.bytes holds it
// whole when it is at most limit bytes long; a longer one sets over_limit and
// block.bytes holds its first limit + 1 bytes. Reading stops as soon as the
// verdict needs no more: a plain message at its empty line or once it is over
// the limit (so /dev/zero or an endless pipe ends), an mbox at its end. false
// at the end or on a read error (error() gives its errno, EISDIR for a
// directory; the message being read is dropped). The reader neither opens nor
// closes the descriptor; regular says it is a regular file, which lets a short
// read end it (one read for a small message file). A host with no limit of its
// own passes the most it is willing to hold. One reader per thread.
#ifndef TOOLS_MESSAGE_SOURCE_H
#define TOOLS_MESSAGE_SOURCE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace hdrw_cli {

struct MessageInput {
  std::string display;    // path shown in the output
  std::string open_path;  // absolute path to read; "-" for standard input
  bool regular;           // open_path named a regular file when it was listed
};

struct HeaderBlock {
  std::string bytes;        // the header block, or its first limit + 1 bytes when over_limit
  size_t number = 0;        // 1-based position in an mbox; 0 for a plain message
  bool over_limit = false;  // the block is longer than the reader's limit
};

class MessageReader {
 public:
  MessageReader(int fd, bool regular, size_t limit);
  bool next(HeaderBlock &block);
  int error() const { return error_; }

 private:
  struct Line;
  enum class LineEnd { line, end, stopped };
  bool fill();
  LineEnd next_line(Line &line, std::string *keep, size_t room, bool stop_when_full);
  bool read_body(Line &line);

  static constexpr size_t kBlock = 64 * 1024;
  int fd_;
  bool regular_;
  size_t limit_;
  std::unique_ptr<char[]> block_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;      // no more bytes to read
  bool started_ = false;  // the first line has been looked at
  bool mbox_ = false;
  bool done_ = false;  // every message has been given
  size_t number_ = 0;  // mbox position of the message to read next
  int error_ = 0;
};

std::vector<MessageInput> collect_inputs(const std::vector<std::string> &operands,
                                         std::vector<std::string> &problems);

}  // namespace hdrw_cli

#endif
