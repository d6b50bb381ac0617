// Tests of libhdrweights.so's outward face: its dynamic symbol table exports the
// seven entry points and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

TEST(ModuleExports, ExactlyTheSevenEntryPoints) {
  std::string command = std::string("nm -D --defined-only '") + HDRW_MODULE_PATH + "'";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[1024];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    // "<address> <type> <name>", the name possibly with a version suffix.
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    names.insert(name.substr(0, name.find('@')));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names,
            (std::set<std::string>{"tlvModInitModule", "tlvModQueryModule", "tlvModInitMessage",
                                   "tlvModEndMessage", "tlvModFreeMessage", "tlvModFreeModule",
                                   "tlvModGetVersion"}));
}
