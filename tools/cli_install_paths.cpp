// cli_install_paths - the build supplies the installed layout: HDRW_PKGLIBDIR_FROM_BINDIR
// (the private library folder relative to the command's folder) and
// HDRW_CONFIG_DIR (the configuration folder, absolute). The installed paths are
// checked end to end by the package stage of .ci/run; the build-tree paths by
// tests/cli_test.cpp.
#include "cli_install_paths.h"

#include <filesystem>
#include <system_error>

namespace hdrw_cli {

namespace fs = std::filesystem;

// default_module_path - the module beside the command, else where the install put it
std::string default_module_path() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "libhdrweights.so";
  fs::path dir = self.parent_path();
  fs::path beside = dir / "libhdrweights.so";
  if (fs::exists(beside, ec)) return beside.string();
  return (dir / HDRW_PKGLIBDIR_FROM_BINDIR / "libhdrweights.so").lexically_normal().string();
}

// default_config_path - server.xml here, else the installed one, else server.xml
std::string default_config_path() {
  std::error_code ec;
  if (fs::exists("server.xml", ec)) return "server.xml";
  fs::path installed = fs::path(HDRW_CONFIG_DIR) / "server.xml";
  if (fs::exists(installed, ec)) return installed.string();
  return "server.xml";
}

}  // namespace hdrw_cli
