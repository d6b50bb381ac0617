// message_reader - reading one input of a run (see message_reader.h)
// (tested in tests/rules_tools_test.cpp)
#include "message_reader.h"

#include "cli.h"

namespace hdrw_cli {

std::string_view input_text(const MessageInput &input, const std::string &stdin_text,
                            std::string &buffer) {
  if (input.open_path == "-") return stdin_text;
  try {
    read_file_into(input.open_path, input.regular, buffer);
  } catch (const Failure &f) {
    // The reader names the absolute path; the user knows the display path.
    std::string why = f.what();
    if (why.compare(0, input.open_path.size(), input.open_path) == 0) {
      why = input.display + why.substr(input.open_path.size());
    }
    throw Failure(why);
  }
  return buffer;
}

}  // namespace hdrw_cli
