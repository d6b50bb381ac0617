// message_source - directory walking (plain trees and Maildirs) and mbox cutting
// (tested through the command in tests/cli_test.cpp)
#include "message_source.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>

#include "cli.h"

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

// kind_of - what a path is, following links
Kind kind_of(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Kind::other;
  if (S_ISREG(st.st_mode)) return Kind::file;
  if (S_ISDIR(st.st_mode)) return Kind::directory;
  return Kind::other;
}

// sorted_entries - a directory's entries sorted by name, their kind from the
// listing where it tells (one stat only for links and unknown types); false
// when it cannot be listed (the reason goes to problems)
bool sorted_entries(const std::string &dir, const std::string &display, std::vector<Entry> &out,
                    std::vector<std::string> &problems) {
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) {
    problems.push_back(display + ": cannot list the directory: " + errno_text(errno));
    return false;
  }
  errno = 0;
  while (const struct dirent *e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    Entry entry{name, Kind::other, e->d_type == DT_LNK};
    if (e->d_type == DT_REG) {
      entry.kind = Kind::file;
    } else if (e->d_type == DT_DIR) {
      entry.kind = Kind::directory;
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      entry.kind = kind_of(join(dir, name));
    }
    out.push_back(std::move(entry));
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) {
    problems.push_back(display + ": cannot list the directory: " + errno_text(err));
    return false;
  }
  std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
  return true;
}

bool is_maildir(const std::string &dir) {
  return kind_of(join(dir, "cur")) == Kind::directory && kind_of(join(dir, "new")) == Kind::directory;
}

void walk_directory(const std::string &dir, const std::string &display,
                    std::vector<MessageInput> &inputs, std::vector<std::string> &problems);

// add_files - the regular files of one directory, without descending
void add_files(const std::string &dir, const std::string &display, std::vector<MessageInput> &inputs,
               std::vector<std::string> &problems) {
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

// line_end - position after the line starting at pos (after its LF, or the end)
size_t line_end(std::string_view data, size_t pos) {
  size_t lf = data.find('\n', pos);
  return lf == std::string_view::npos ? data.size() : lf + 1;
}

// is_empty_line - the line [pos, end) holds nothing but its line end
bool is_empty_line(std::string_view data, size_t pos, size_t end) {
  size_t len = end - pos;
  return (len == 1 && data[pos] == '\n') || (len == 2 && data[pos] == '\r' && data[pos + 1] == '\n');
}

bool is_from_line(std::string_view data, size_t pos) {
  return data.substr(pos, 5) == "From ";
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
      problems.push_back(op + ": " + errno_text(errno));
    } else if (S_ISDIR(st.st_mode)) {
      walk_directory(abs, op, inputs, problems);
    } else {
      inputs.push_back({op, abs, S_ISREG(st.st_mode)});
    }
  }
  return inputs;
}

size_t header_block_length(std::string_view message) {
  size_t pos = 0;
  while (pos < message.size()) {
    size_t end = line_end(message, pos);
    if (is_empty_line(message, pos, end)) return end;
    pos = end;
  }
  return message.size();
}

std::vector<MessageSpan> split_messages(std::string_view data) {
  std::vector<MessageSpan> spans;
  if (!is_from_line(data, 0)) {
    spans.push_back({0, data.size(), header_block_length(data), 0});
    return spans;
  }
  // Starts of the "From " lines that open messages.
  std::vector<size_t> starts;
  bool after_empty = true;
  for (size_t pos = 0; pos < data.size();) {
    size_t end = line_end(data, pos);
    if (after_empty && is_from_line(data, pos)) starts.push_back(pos);
    after_empty = is_empty_line(data, pos, end);
    pos = end;
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t begin = line_end(data, starts[k]);
    size_t end = k + 1 < starts.size() ? starts[k + 1] : data.size();
    // The empty line in front of the next "From " line belongs to the mbox.
    if (k + 1 < starts.size()) {
      if (end - begin >= 2 && data.substr(end - 2, 2) == "\n\n") {
        end -= 1;
      } else if (end - begin >= 4 && data.substr(end - 4, 4) == "\r\n\r\n") {
        end -= 2;
      }
    }
    std::string_view msg = data.substr(begin, end - begin);
    spans.push_back({begin, msg.size(), header_block_length(msg), k + 1});
  }
  return spans;
}

}  // namespace hdrw_cli
