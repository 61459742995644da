// ostrivan-client: the export and import jobs of an Ostrivan service from a shell.
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/job_client.h"
#include "client/jobs_client.h"
#include "client/status_client.h"
#include "common/file_system.h"
#include "common/numbers.h"

namespace {

constexpr const char* kDefaultServer = "http://localhost:8080";
// A machine that does not answer within this is down for the shop's overview.
constexpr int kShopTimeoutSeconds = 10;

const char* Usage() {
  return "Usage:\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] export --to DIR [--mode NEWEN|ROTTLER]\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] export --watch --to DIR [--interval SECONDS]\n"
         "                 [--exec COMMAND] [--mode NEWEN|ROTTLER]\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] import DIR|FILE.zip\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] status [--json]\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] jobs [--json]\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] fetch KIND NAME --to DIR|FILE.zip\n"
         "  ostrivan-client [--server URL] [--timeout SECONDS] requeue KIND NAME\n"
         "  ostrivan-client --server URL --server URL ... [--timeout SECONDS] status\n"
         "  ostrivan-client --servers FILE [--server URL ...] [--timeout SECONDS] status\n"
         "  ostrivan-client --version\n"
         "URL defaults to http://localhost:8080. export fetches the job waiting in the\n"
         "service's export folder and unpacks it into DIR (absent or empty); import sends a\n"
         "folder, packed as the service packs, or an existing zip archive. An archive that\n"
         "does not open, fails its CRC check, holds no file or exceeds the service's limit\n"
         "of 5242880 bytes of request is not sent: the service would empty its import\n"
         "folder for it. status shows the service's state (what waits, the last jobs);\n"
         "--json prints it as sent. With more than one server (or --servers FILE, one URL a\n"
         "line, # comments) status prints one line per machine, OK or PROBLEM first, and exits\n"
         "1 when any machine is unreachable, refuses, reports a problem, keeps an export in\n"
         "unsent/ or holds one for more than 5 minutes; each machine gets --timeout seconds\n"
         "(10 by default there). jobs lists the kept jobs (held, unsent, sent, received);\n"
         "fetch writes one job's archive to FILE.zip or unpacks it into DIR (absent or empty);\n"
         "requeue puts an unsent or sent job back into the service's export folder.\n"
         "--timeout bounds the whole exchange (default 120 seconds).\n"
         "export --watch asks every --interval seconds (default 10) until SIGINT or SIGTERM,\n"
         "unpacks each job into a new folder DIR/<yyyymmdd-hhmmss>-<job> and runs COMMAND\n"
         "with that folder as its argument.\n"
         "--mode is NEWEN or ROTTLER, in capitals, as the service reads it.\n"
         "Exit status:\n"
         "  0    done\n"
         "  1    the service reported a failure (its message is printed) or refused this\n"
         "       caller (not on its ClientAmmessi)\n"
         "  2    bad command line\n"
         "  3    no usable reply (service unreachable, timed out, not an Ostrivan reply:\n"
         "       another server on that port) or a local file problem (an archive refused\n"
         "       before sending included)\n"
         "  4    export: no job waiting (the service found no file to send)\n"
         "  5    export: a file of the job is still being written: try again later\n"
         "  130  interrupted by SIGINT, 143 by SIGTERM (nothing of the client's left behind)\n";
}

int UsageError(const std::string& message) {
  std::cerr << "ostrivan-client: " << message << "\n" << Usage();
  return ostrivan::client::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostrivan::client;
  std::string server = kDefaultServer;
  std::vector<std::string> servers;
  std::string servers_file;
  bool servers_given = false;
  std::string command, to, mode = "NEWEN", source, timeout_text;
  std::vector<std::string> names;  // KIND NAME of fetch and requeue
  int timeout_seconds = kDefaultTimeoutSeconds;
  bool json = false;
  bool watch = false;
  int interval_seconds = 10;
  std::string exec;
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
    } else if (arg == "--version") {
      std::cout << "ostrivan-client " << OSTRIVAN_VERSION << "\n";
      return kExitOk;
    } else if (arg == "--server") {
      if (!value(server)) return UsageError("--server needs a URL");
      servers.push_back(server);
    } else if (arg == "--servers") {
      if (!value(servers_file)) return UsageError("--servers needs a file");
      servers_given = true;
    } else if (arg == "--timeout") {
      if (!value(timeout_text)) return UsageError("--timeout needs a number of seconds");
      if (!ostrivan::ParseNumber(timeout_text, timeout_seconds) || timeout_seconds < 1 || timeout_seconds > 86400) {
        return UsageError("--timeout needs a number of seconds from 1 to 86400");
      }
    } else if (arg == "--to") {
      if (!value(to)) return UsageError("--to needs a folder");
    } else if (arg == "--mode") {
      if (!value(mode)) return UsageError("--mode needs NEWEN or ROTTLER");
    } else if (arg == "--watch") {
      watch = true;
    } else if (arg == "--interval") {
      std::string text;
      if (!value(text) || !ostrivan::ParseNumber(text, interval_seconds) || interval_seconds < 1 ||
          interval_seconds > 86400)
        return UsageError("--interval needs a number of seconds from 1 to 86400");
    } else if (arg == "--exec") {
      if (!value(exec)) return UsageError("--exec needs a command");
    } else if (arg == "--json") {
      json = true;
    } else if (arg.starts_with("--")) {
      return UsageError("unknown option " + std::string(arg));
    } else if (command.empty()) {
      command = arg;
    } else if (command == "import" && source.empty()) {
      source = arg;
    } else if ((command == "fetch" || command == "requeue") && names.size() < 2) {
      names.emplace_back(arg);
    } else {
      return UsageError("unexpected argument " + std::string(arg));
    }
  }
  // The service takes these two spellings only; anything else would fail there after the
  // folder was prepared.
  if (mode != "NEWEN" && mode != "ROTTLER") return UsageError("--mode needs NEWEN or ROTTLER, not \"" + mode + "\"");
  // A signal from here on ends the client in order: its temporary files are removed.
  CatchInterrupts();
  TServerUrl url;
  try {
    url = ParseServerUrl(server);
  } catch (const EClientError& e) {
    return UsageError(e.Message());
  }
  if (command == "status" && (servers_given || servers.size() > 1)) {
    if (!to.empty()) return UsageError("--to belongs to export");
    if (json) return UsageError("--json shows one server");
    if (servers_given) {
      std::string text;
      if (!ostrivan::TryReadWholeFile(servers_file, text)) {
        std::cerr << "ostrivan-client: cannot read the server list " << servers_file << "\n";
        return kExitLocal;
      }
      for (std::string& listed : ReadServerList(text)) servers.push_back(std::move(listed));
    }
    if (servers.empty()) return UsageError("the server list " + servers_file + " names no server");
    for (const std::string& each : servers) {
      try {
        (void)ParseServerUrl(each);
      } catch (const EClientError& e) {
        return UsageError(e.Message());
      }
    }
    return RunStatusMany(servers, timeout_text.empty() ? kShopTimeoutSeconds : timeout_seconds, std::cout);
  }
  if (servers_given || servers.size() > 1) return UsageError("several servers belong to status");
  if (command == "status") {
    if (!to.empty()) return UsageError("--to belongs to export");
    return RunStatus(url, json, std::cout, std::cerr, timeout_seconds);
  }
  if (command == "jobs") {
    if (!to.empty()) return UsageError("--to belongs to export and fetch");
    return RunJobs(url, json, std::cout, std::cerr, timeout_seconds);
  }
  if (json) return UsageError("--json belongs to status and jobs");
  if (command == "fetch" || command == "requeue") {
    if (names.size() != 2) return UsageError(command + " needs KIND and NAME");
    if (command == "requeue") {
      if (!to.empty()) return UsageError("--to belongs to export and fetch");
      return RunRequeue(url, names[0], names[1], std::cout, std::cerr, timeout_seconds);
    }
    if (to.empty()) return UsageError("fetch needs --to DIR or --to FILE.zip");
    return RunFetch(url, names[0], names[1], to, std::cout, std::cerr, timeout_seconds);
  }
  if (command == "export") {
    if (to.empty()) return UsageError("export needs --to DIR");
    if (watch) return RunExportWatch(url, mode, to, interval_seconds, exec, std::cout, std::cerr, timeout_seconds);
    if (!exec.empty()) return UsageError("--exec belongs to export --watch");
    return RunExport(url, mode, to, std::cout, std::cerr, timeout_seconds);
  }
  if (command == "import") {
    if (source.empty()) return UsageError("import needs a folder or a .zip file");
    if (!to.empty()) return UsageError("--to belongs to export");
    return RunImport(url, source, std::cout, std::cerr, timeout_seconds);
  }
  return UsageError(command.empty() ? "no command given" : "unknown command " + command);
}
