// message_source - directory walking (plain trees and Maildirs) and the
// streaming reader of header blocks
// (tested through the command in tests/cli_test.cpp)
#include "message_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_files.h"
#include "cli_texts.h"

namespace hdrw_cli {
namespace {

enum class Kind { file, directory, other };

struct Entry {
  std::string name;
  Kind kind;
  bool link;  // reached through a symbolic link
};

// join - a name below a directory, with one separator
std::string join(const std::string &dir, const std::string &name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// kind_of - what a path is, following links; err is the errno when it cannot
// be followed (a dangling link, a link loop)
Kind kind_of(const std::string &path, int &err) {
  struct stat st {};
  err = 0;
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return Kind::other;
  }
  if (S_ISREG(st.st_mode)) return Kind::file;
  if (S_ISDIR(st.st_mode)) return Kind::directory;
  return Kind::other;
}

// sorted_entries - a directory's entries sorted by name, their kind from the
// listing where it tells (one stat only for links and unknown types); false
// when it cannot be listed (the reason goes to problems). An entry that cannot
// be followed is a problem of its own and the listing goes on.
bool sorted_entries(const std::string &dir, const std::string &display, std::vector<Entry> &out,
                    std::vector<std::string> &problems) {
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) {
    problems.push_back(printable(display) + ": cannot list the directory: " + errno_text(errno));
    return false;
  }
  std::vector<std::string> bad;
  for (;;) {
    errno = 0;  // readdir tells its end from an error only by errno
    const struct dirent *e = ::readdir(d);
    if (e == nullptr) break;
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    Entry entry{name, Kind::other, e->d_type == DT_LNK};
    if (e->d_type == DT_REG) {
      entry.kind = Kind::file;
    } else if (e->d_type == DT_DIR) {
      entry.kind = Kind::directory;
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      int err = 0;
      entry.kind = kind_of(join(dir, name), err);
      if (err != 0) bad.push_back(name + ": cannot be followed: " + errno_text(err));
    }
    out.push_back(std::move(entry));
  }
  int err = errno;
  std::sort(bad.begin(), bad.end());
  for (const auto &b : bad) problems.push_back(printable(join(display, b)));
  ::closedir(d);
  if (err != 0) {
    problems.push_back(printable(display) + ": cannot list the directory: " + errno_text(err));
    return false;
  }
  std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
  return true;
}

bool is_maildir(const std::string &dir) {
  int err = 0;
  return kind_of(join(dir, "cur"), err) == Kind::directory &&
         kind_of(join(dir, "new"), err) == Kind::directory;
}

void walk_directory(const std::string &dir, const std::string &display,
                    std::vector<MessageInput> &inputs, std::vector<std::string> &problems);

// add_files - the regular files of one directory, without descending
void add_files(const std::string &dir, const std::string &display,
               std::vector<MessageInput> &inputs, std::vector<std::string> &problems) {
  std::vector<Entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    if (e.kind == Kind::file) inputs.push_back({join(display, e.name), join(dir, e.name), true});
  }
}

// walk_maildir - cur/ and new/ of a Maildir, then its subfolders
void walk_maildir(const std::string &dir, const std::string &display,
                  std::vector<MessageInput> &inputs, std::vector<std::string> &problems) {
  add_files(join(dir, "cur"), join(display, "cur"), inputs, problems);
  add_files(join(dir, "new"), join(display, "new"), inputs, problems);
  std::vector<Entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    if (e.name == "cur" || e.name == "new" || e.name == "tmp") continue;
    if (e.kind == Kind::directory && !e.link) {
      walk_directory(join(dir, e.name), join(display, e.name), inputs, problems);
    }
  }
}

// walk_directory - every regular file below dir, in name order
void walk_directory(const std::string &dir, const std::string &display,
                    std::vector<MessageInput> &inputs, std::vector<std::string> &problems) {
  if (is_maildir(dir)) {
    walk_maildir(dir, display, inputs, problems);
    return;
  }
  std::vector<Entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    if (e.kind == Kind::directory) {
      if (!e.link) walk_directory(join(dir, e.name), join(display, e.name), inputs, problems);
    } else if (e.kind == Kind::file) {
      inputs.push_back({join(display, e.name), join(dir, e.name), true});
    }
  }
}

}  // namespace

std::vector<MessageInput> collect_inputs(const std::vector<std::string> &operands,
                                         std::vector<std::string> &problems) {
  std::vector<MessageInput> inputs;
  for (const auto &op : operands) {
    if (op == "-") {
      inputs.push_back({"-", "-", false});
      continue;
    }
    std::string abs = absolute_path(op);
    struct stat st {};
    if (::stat(abs.c_str(), &st) != 0) {
      problems.push_back(printable(op) + ": " + errno_text(errno));
    } else if (S_ISDIR(st.st_mode)) {
      walk_directory(abs, op, inputs, problems);
    } else {
      inputs.push_back({op, abs, S_ISREG(st.st_mode)});
    }
  }
  return inputs;
}

// One line as the reader sees it: its length and its first bytes.
struct MessageReader::Line {
  size_t length = 0;  // bytes, its LF included
  char head[5] = {};  // its first bytes
  size_t head_len = 0;

  bool is_from() const { return head_len == 5 && std::memcmp(head, "From ", 5) == 0; }
  bool is_empty() const {
    return (length == 1 && head[0] == '\n') || (length == 2 && head[0] == '\r' && head[1] == '\n');
  }
};

MessageReader::MessageReader(int fd, bool regular, size_t limit)
    : fd_(fd), regular_(regular), limit_(limit), block_(new char[kBlock]) {}

// MessageReader::fill - the next block of the input; false at its end or on an error
bool MessageReader::fill() {
  if (eof_) return false;
  for (;;) {
    ssize_t n = ::read(fd_, block_.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error_ = errno;
      eof_ = true;
      return false;
    }
    pos_ = 0;
    end_ = static_cast<size_t>(n);
    // A regular file that gives less than asked has nothing more.
    if (regular_ && end_ < kBlock) eof_ = true;
    return true;
  }
}

// MessageReader::next_line - consumes the next line, appending its bytes to keep
// while keep holds fewer than room; stop_when_full returns (stopped) in the
// middle of a line once keep is full. end: no byte was left (or an error).
MessageReader::LineEnd MessageReader::next_line(Line &line, std::string *keep, size_t room,
                                                bool stop_when_full) {
  line = Line{};
  for (;;) {
    if (pos_ == end_ && !fill())
      return line.length == 0 || error_ != 0 ? LineEnd::end : LineEnd::line;
    const char *p = block_.get() + pos_;
    size_t avail = end_ - pos_;
    const void *lf = std::memchr(p, '\n', avail);
    size_t take =
        lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - p) + 1 : avail;
    for (size_t i = 0; i < take && line.head_len < sizeof line.head; ++i)
      line.head[line.head_len++] = p[i];
    if (keep != nullptr && keep->size() < room)
      keep->append(p, std::min(take, room - keep->size()));
    line.length += take;
    pos_ += take;
    if (lf != nullptr) return LineEnd::line;
    if (stop_when_full && keep != nullptr && keep->size() >= room) return LineEnd::stopped;
  }
}

// MessageReader::read_body - skips an mbox message's body from line, which
// follows its header block, up to the next message's "From " line or the end
bool MessageReader::read_body(Line &line) {
  for (;;) {
    bool after_empty = line.is_empty();
    if (next_line(line, nullptr, 0, false) == LineEnd::end) {
      done_ = true;
      return error_ == 0;
    }
    if (after_empty && line.is_from()) {
      ++number_;
      return true;
    }
  }
}

bool MessageReader::next(HeaderBlock &block) {
  if (done_) return false;
  block.bytes.clear();
  block.over_limit = false;
  // Two bytes beyond limit + 1 let the separator of an mbox message go before
  // the block's length is judged.
  const size_t room = limit_ + 3;
  size_t total = 0;  // bytes of the block so far, held or not
  Line line;
  LineEnd got;
  if (!started_) {
    started_ = true;
    got = next_line(line, &block.bytes, room, true);
    if (got != LineEnd::end && line.is_from()) {
      mbox_ = true;
      number_ = 1;
      if (got == LineEnd::stopped) next_line(line, nullptr, 0, false);  // the rest of the line
      block.bytes.clear();
      got = next_line(line, &block.bytes, room, false);
    }
  } else {
    got = next_line(line, &block.bytes, room, !mbox_);
  }
  block.number = mbox_ ? number_ : 0;
  // The header lines, up to the first empty line.
  for (;;) {
    if (error_ != 0) {
      done_ = true;
      return false;
    }
    if (got == LineEnd::end) {
      done_ = true;
      break;
    }
    total += line.length;
    if (got == LineEnd::stopped) {
      done_ = true;
      break;
    }
    if (line.is_empty()) {
      if (!mbox_) {
        done_ = true;
        break;
      }
      size_t empty_len = line.length;
      if (next_line(line, nullptr, 0, false) == LineEnd::end) {
        done_ = true;
      } else if (line.is_from()) {
        // The empty line is the mbox separator: the message ends before it.
        const std::string &b = block.bytes;
        if (empty_len == 1 && total >= 2) {
          total -= 1;
        } else if (empty_len == 2 && total >= 4 && total <= b.size() &&
                   b.compare(total - 4, 2, "\r\n") == 0) {
          total -= 2;
        }
        ++number_;
      } else if (!read_body(line)) {
        return false;
      }
      if (error_ != 0) {
        done_ = true;
        return false;
      }
      break;
    }
    got = next_line(line, &block.bytes, room, !mbox_);
  }
  block.over_limit = total > limit_;
  block.bytes.resize(block.over_limit ? limit_ + 1 : total);
  return true;
}

}  // namespace hdrw_cli
