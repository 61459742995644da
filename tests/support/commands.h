#pragma once
// Running the real tools beside the tests (zip, unzip, Python 3). Example:
//   RunCommand("unzip -l " + ShellQuote(path)).exit_code   // 0 when unzip reads it
#include <string>
#include <vector>

namespace ostrivan::test_support {

struct CommandResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};
CommandResult RunCommand(const std::string& command);
std::string ShellQuote(const std::string& text);
// Runs a Python 3 script given as text, with argv[1..] = args.
CommandResult RunPython(const std::string& script, const std::vector<std::string>& args = {});

}  // namespace ostrivan::test_support
