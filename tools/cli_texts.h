// cli_texts - the command's texts for error lines
//
// errno_text(err) is the system's text of an errno value. The rest is
// described at each declaration. Nothing here throws except for lack of
// memory, and every call may run on any thread.
#ifndef TOOLS_CLI_TEXTS_H
#define TOOLS_CLI_TEXTS_H

#include <cstdint>
#include <string>

namespace hdrw_cli {

std::string errno_text(int err);
// printable(text) - text for a line of text output: a backslash, LF, CR, tab
// and every other control byte are escaped (\\, \n, \r, \t, \xHH), so a file
// name cannot end a line or forge another.
std::string printable(const std::string &text);
// catalog_text(code) - the text of a status code, for error lines: the
// catalog's (argument places shown as "..."), or for a code that is only
// returned, never logged, its text beside the catalog (tvr_returned_text,
// tvr_messages.h); "code N" for any other. code_text(code) is "[N] TEXT".
std::string catalog_text(uint32_t code);
std::string code_text(uint32_t code);

}  // namespace hdrw_cli

#endif
