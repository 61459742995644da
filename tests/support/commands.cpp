#include "support/commands.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "support/scratch_files.h"

namespace ostrivan::test_support {

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
  int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult RunPython(const std::string& script, const std::vector<std::string>& args) {
  TempDir dir;
  const std::string file = dir / "script.py";
  WriteFile(file, script);
  std::string command = "python3 " + ShellQuote(file);
  for (const auto& a : args) {
    command += ' ';
    command += ShellQuote(a);
  }
  return RunCommand(command);
}

}  // namespace ostrivan::test_support
