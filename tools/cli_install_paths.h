// cli_install_paths - where the command finds its module and its configuration
//
// The command works the same from a build tree and from an installed tree.
// default_module_path() is libhdrweights.so beside the running executable when
// one is there (a build tree), else the module in the private library folder at
// the place the installed layout gives it relative to the executable
// (../lib/hdrweights/ for /usr/bin/hdrweights), which is also where the
// executable's RUNPATH finds libtvrshareddata.so. When the executable's own
// path cannot be read the answer is the bare name, for the dynamic loader's search.
// default_config_path() is "server.xml" in the current directory when it
// exists, else the installed configuration (/etc/hdrweights/server.xml for an
// installation under /usr) when that exists, else "server.xml", whose absence
// the caller reports.
// Neither call fails; both read the file system only.
#ifndef TOOLS_CLI_INSTALL_PATHS_H
#define TOOLS_CLI_INSTALL_PATHS_H

#include <string>

namespace hdrw_cli {

std::string default_module_path();
std::string default_config_path();

}  // namespace hdrw_cli

#endif
