// message_source - directory walking (plain trees and Maildirs) and mbox cutting
// (tested through the command in tests/cli_test.cpp)
#include "message_source.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli.h"

namespace fs = std::filesystem;

namespace hdrw_cli {
namespace {

// join_display - a name below a directory operand, as the user would write it
std::string join_display(const std::string &dir, const std::string &name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// sorted_entries - a directory's entries sorted by name; false when it cannot
// be listed (the reason goes to problems)
bool sorted_entries(const fs::path &dir, const std::string &display,
                    std::vector<fs::directory_entry> &out, std::vector<std::string> &problems) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    problems.push_back(display + ": cannot list the directory: " + ec.message());
    return false;
  }
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    out.push_back(*it);
  }
  if (ec) {
    problems.push_back(display + ": cannot list the directory: " + ec.message());
    return false;
  }
  std::sort(out.begin(), out.end(), [](const fs::directory_entry &a, const fs::directory_entry &b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  return true;
}

bool is_maildir(const fs::path &dir) {
  std::error_code ec;
  return fs::is_directory(dir / "cur", ec) && fs::is_directory(dir / "new", ec);
}

void walk_directory(const fs::path &dir, const std::string &display,
                    std::vector<MessageInput> &inputs, std::vector<std::string> &problems);

// add_files - the regular files of one directory, without descending
void add_files(const fs::path &dir, const std::string &display, std::vector<MessageInput> &inputs,
               std::vector<std::string> &problems) {
  std::vector<fs::directory_entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    std::error_code ec;
    if (e.is_regular_file(ec)) {
      std::string name = e.path().filename().string();
      inputs.push_back({join_display(display, name), e.path().string()});
    }
  }
}

// walk_maildir - cur/ and new/ of a Maildir, then its subfolders
void walk_maildir(const fs::path &dir, const std::string &display,
                  std::vector<MessageInput> &inputs, std::vector<std::string> &problems) {
  add_files(dir / "cur", join_display(display, "cur"), inputs, problems);
  add_files(dir / "new", join_display(display, "new"), inputs, problems);
  std::vector<fs::directory_entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    std::string name = e.path().filename().string();
    if (name == "cur" || name == "new" || name == "tmp") continue;
    std::error_code ec;
    if (e.is_directory(ec) && !e.is_symlink(ec)) {
      walk_directory(e.path(), join_display(display, name), inputs, problems);
    }
  }
}

// walk_directory - every regular file below dir, in name order
void walk_directory(const fs::path &dir, const std::string &display,
                    std::vector<MessageInput> &inputs, std::vector<std::string> &problems) {
  if (is_maildir(dir)) {
    walk_maildir(dir, display, inputs, problems);
    return;
  }
  std::vector<fs::directory_entry> entries;
  if (!sorted_entries(dir, display, entries, problems)) return;
  for (const auto &e : entries) {
    std::string name = e.path().filename().string();
    std::error_code ec;
    if (e.is_directory(ec)) {
      if (!e.is_symlink(ec)) walk_directory(e.path(), join_display(display, name), inputs, problems);
    } else if (e.is_regular_file(ec)) {
      inputs.push_back({join_display(display, name), e.path().string()});
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
      inputs.push_back({"-", "-"});
      continue;
    }
    std::error_code ec;
    fs::path abs = absolute_path(op);
    fs::file_status st = fs::status(abs, ec);
    if (ec || !fs::exists(st)) {
      problems.push_back(op + ": " + (ec ? ec.message() : std::string("No such file or directory")));
      continue;
    }
    if (fs::is_directory(st)) {
      walk_directory(abs, op, inputs, problems);
    } else {
      inputs.push_back({op, abs.string()});
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
