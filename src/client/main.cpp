// ostrivan-client: the export and import jobs of an Ostrivan service from a shell.
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "client/job_client.h"
#include "client/status_client.h"

namespace {

constexpr const char* kDefaultServer = "http://localhost:8080";

const char* Usage() {
  return "Usage:\n"
         "  ostrivan-client [--server URL] export --to DIR [--mode NEWEN|ROTTLER]\n"
         "  ostrivan-client [--server URL] import DIR|FILE.zip\n"
         "  ostrivan-client [--server URL] status [--json]\n"
         "URL defaults to http://localhost:8080. export fetches the job waiting in the\n"
         "service's export folder and unpacks it into DIR (absent or empty); import sends a\n"
         "folder, packed as the service packs, or an existing zip archive. status shows\n"
         "the service's state (what waits, the last jobs); --json prints it as sent.\n"
         "Exit status: 0 done, 1 the service reported a failure (its message is printed),\n"
         "2 bad command line, 3 no usable reply or a local file problem.\n";
}

int UsageError(const std::string& message) {
  std::cerr << "ostrivan-client: " << message << "\n" << Usage();
  return ostrivan::client::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostrivan::client;
  std::string server = kDefaultServer;
  std::string command, to, mode = "NEWEN", source;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << Usage();
      return kExitOk;
    } else if (arg == "--server") {
      if (!value(server)) return UsageError("--server needs a URL");
    } else if (arg == "--to") {
      if (!value(to)) return UsageError("--to needs a folder");
    } else if (arg == "--mode") {
      if (!value(mode)) return UsageError("--mode needs NEWEN or ROTTLER");
    } else if (arg == "--json") {
      json = true;
    } else if (arg.starts_with("--")) {
      return UsageError("unknown option " + std::string(arg));
    } else if (command.empty()) {
      command = arg;
    } else if (command == "import" && source.empty()) {
      source = arg;
    } else {
      return UsageError("unexpected argument " + std::string(arg));
    }
  }
  TServerUrl url;
  try {
    url = ParseServerUrl(server);
  } catch (const EClientError& e) {
    return UsageError(e.Message());
  }
  if (command == "status") {
    if (!to.empty()) return UsageError("--to belongs to export");
    return RunStatus(url, json, std::cout, std::cerr);
  }
  if (json) return UsageError("--json belongs to status");
  if (command == "export") {
    if (to.empty()) return UsageError("export needs --to DIR");
    return RunExport(url, mode, to, std::cout, std::cerr);
  }
  if (command == "import") {
    if (source.empty()) return UsageError("import needs a folder or a .zip file");
    if (!to.empty()) return UsageError("--to belongs to export");
    return RunImport(url, source, std::cout, std::cerr);
  }
  return UsageError(command.empty() ? "no command given" : "unknown command " + command);
}
