#include "host/config_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <tuple>

#include "common/text.h"
#include "host/allow_list.h"
#include "host/operator_routes.h"
#include "host/parametri.h"
#include "host/readiness.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"

namespace ostrivan::host {

namespace {

constexpr const char* kConfigSection = "CONFIG";
constexpr const char* kKnownKeys[] = {"Porta",          "ExportLavoroDir", "ImportLavoroDir",
                                      "Nr_Macchina",    "ClientAmmessi",   "AttesaScrittura",
                                      "AttesaConferma", "TenutiNumero",    "TenutiMB"};

// A port in the kernel's table of TCP sockets in the listening state.
bool ListedAsListening(const char* table, std::uint16_t port) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    const std::size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != "0A") continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

bool Answers(int family, std::uint16_t port) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_storage addr{};
  socklen_t len;
  if (family == AF_INET) {
    auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof a4;
  } else {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    a6.sin6_addr = in6addr_loopback;
    len = sizeof a6;
  }
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t error_len = sizeof error;
    connected =
        ::poll(&p, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

const std::pair<std::string, std::string>* FindKey(const std::vector<std::pair<std::string, std::string>>& keys,
                                                   const std::string& name) {
  for (const auto& key : keys)
    if (SameText(key.first, name)) return &key;
  return nullptr;
}

}  // namespace

bool PortInUse(std::uint16_t port) {
  if (port == 0) return false;  // any free port is taken
  return ListedAsListening("/proc/net/tcp", port) || ListedAsListening("/proc/net/tcp6", port) ||
         Answers(AF_INET, port) || Answers(AF_INET6, port);
}

TConfigReport CheckConfiguration(const std::string& ini_file, bool check_port) {
  TConfigReport report;
  report.IniFile = ini_file;
  platform::TFileInfo info;
  const bool exists = platform::Files().TryInfo(ini_file, platform::TLinks::kFollow, info).Ok();
  report.IniFound = exists && info.Kind == platform::TFileKind::kFile;
  if (exists && !report.IniFound)
    report.IniKind = info.Kind == platform::TFileKind::kFolder ? "a folder, not a file" : "not a regular file";
  if (!report.IniFound)
    report.Errors.push_back("parameter file " + ini_file + " " +
                            (report.IniKind.empty() ? "not found" : "is " + report.IniKind) +
                            ": every key has its default");
  else if (!platform::Files().TryCheckAccess(ini_file, platform::TAccess::kRead))
    report.Errors.push_back("parameter file " + ini_file + " cannot be read");

  const auto keys = ReadProfileSection(ini_file, kConfigSection);
  for (const auto& [name, value] : keys) {
    bool known = false;
    for (const char* k : kKnownKeys) known = known || SameText(name, k);
    if (!known) report.Warnings.push_back("unknown key \"" + name + "\" in [" + kConfigSection + "] is ignored");
  }
  for (const char* k : kKnownKeys) {
    int seen = 0;
    for (const auto& key : keys) seen += SameText(key.first, k) ? 1 : 0;
    if (seen > 1)
      report.Warnings.push_back(std::string("key ") + k + " is given " + std::to_string(seen) +
                                " times: the first value is used");
  }

  // Porta
  bool port_problem = false;
  {
    TSettingInForce s{"Porta", "8080", false, ""};
    if (const auto* key = FindKey(keys, "Porta")) {
      const auto number = ParseInteger(key->second);
      if (!number) {
        report.Warnings.push_back("Porta \"" + key->second + "\" is not a number: the default 8080 is used");
        s.Note = "\"" + key->second + "\" is not a number";
      } else {
        s.FromFile = true;
        const std::uint16_t port = static_cast<std::uint16_t>(static_cast<std::uint32_t>(*number) & 0xFFFFu);
        s.Value = std::to_string(port);
        // Taken as written, such a value listens where nobody expects the service.
        port_problem = *number != port || port == 0;
        if (*number != port)
          report.Errors.push_back("Porta " + key->second + " is out of range: it becomes port " + std::to_string(port) +
                                  " (its low 16 bits)" +
                                  (port == 0 ? ", which listens on a random port, another one for IPv4 and IPv6" : ""));
        else if (port == 0)
          report.Errors.push_back(
              "Porta 0 names no port: the service would listen on a random port, another one "
              "for IPv4 and IPv6");
      }
    }
    report.Port = static_cast<std::uint16_t>(std::stoul(s.Value));
    report.Settings.push_back(s);
  }
  // The two directories
  const std::string export_dir = TParametri::GetExportLavoroDir(ini_file);
  const std::string import_dir = TParametri::GetImportLavoroDir(ini_file);
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"ExportLavoroDir", export_dir},
                                    std::pair<const char*, std::string>{"ImportLavoroDir", import_dir}}) {
    const auto* key = FindKey(keys, name);
    std::string note = value.empty() ? "not set: this job fails" : "";
    // A relative folder is taken from the service's current folder, not the executable's.
    if (!value.empty() && value.front() != '/') {
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd) != nullptr)
        note = "resolved from the current folder: " + std::string(cwd) + (cwd[1] == '\0' ? "" : "/") + value;
    }
    report.Settings.push_back({name, value, key != nullptr, note});
  }
  // Nr_Macchina
  {
    TSettingInForce s{"Nr_Macchina", "0", false, ""};
    if (const auto* key = FindKey(keys, "Nr_Macchina")) {
      const auto number = ParseInteger(key->second);
      if (!number) {
        report.Warnings.push_back("Nr_Macchina \"" + key->second + "\" is not a number: the default 0 is used");
        s.Note = "\"" + key->second + "\" is not a number";
      } else {
        s.FromFile = true;
        s.Value = std::to_string(*number);
      }
    }
    report.Settings.push_back(s);
  }
  // ClientAmmessi
  {
    const std::string text = TParametri::GetClientAmmessi(ini_file);
    const TAllowList list = ParseAllowList(text);
    TSettingInForce s{"ClientAmmessi", text, FindKey(keys, "ClientAmmessi") != nullptr, ""};
    if (list.Open()) s.Note = "every address may call";
    for (const std::string& entry : list.Malformed)
      report.Errors.push_back("ClientAmmessi entry \"" + entry +
                              "\" is no address or range: only loopback callers would be served");
    report.Settings.push_back(s);
  }

  // The two waits, in seconds
  for (const auto& [name, low, high, fallback] :
       {std::tuple<const char*, int, int, int>{"AttesaScrittura", 0, TParametri::kMaxSettleSeconds,
                                               TParametri::kDefaultSettleSeconds},
        std::tuple<const char*, int, int, int>{"AttesaConferma", 1, TParametri::kMaxAckWaitSeconds,
                                               TParametri::kDefaultAckWaitSeconds}}) {
    TSettingInForce s{name, std::to_string(fallback), false, ""};
    if (const auto* key = FindKey(keys, name)) {
      const auto number = ParseInteger(key->second);
      const std::string range = "not a number of seconds from " + std::to_string(low) + " to " + std::to_string(high);
      if (!number || *number < low || *number > high) {
        report.Warnings.push_back(std::string(name) + " \"" + key->second + "\" is " + range + ": the default " +
                                  std::to_string(fallback) + " is used");
        s.Note = "\"" + key->second + "\" is " + range;
      } else {
        s.FromFile = true;
        s.Value = std::to_string(*number);
      }
    }
    report.Settings.push_back(s);
  }

  // What sent/ and received/ keep
  for (const auto& [name, high, fallback, unit] :
       {std::tuple<const char*, int, int, const char*>{"TenutiNumero", TParametri::kMaxKeepCount,
                                                       TParametri::kDefaultKeepCount, "archives"},
        std::tuple<const char*, int, int, const char*>{"TenutiMB", TParametri::kMaxKeepMegabytes,
                                                       TParametri::kDefaultKeepMegabytes, "megabytes"}}) {
    TSettingInForce s{name, std::to_string(fallback), false, ""};
    if (const auto* key = FindKey(keys, name)) {
      const auto number = ParseInteger(key->second);
      const std::string range = std::string("not a number of ") + unit + " from 1 to " + std::to_string(high);
      if (!number || *number < 1 || *number > high) {
        report.Warnings.push_back(std::string(name) + " \"" + key->second + "\" is " + range + ": the default " +
                                  std::to_string(fallback) + " is used");
        s.Note = "\"" + key->second + "\" is " + range;
      } else {
        s.FromFile = true;
        s.Value = std::to_string(*number);
      }
    }
    report.Settings.push_back(s);
  }

  const TReadiness readiness = CheckReadiness(export_dir, import_dir);
  for (const std::string& problem : readiness.Problems) report.Errors.push_back(problem);
  if (const jobfiles::TExportWaiting waiting = jobfiles::InspectExportDirectory(export_dir); waiting.Stuck > 0)
    report.Warnings.push_back(LeftFilesProblem(export_dir, waiting));
  report.ExportReady = readiness.Export;
  report.ImportReady = readiness.Import;
  if (port_problem) report.ExportReady = report.ImportReady = false;
  if (check_port && PortInUse(report.Port)) {
    report.Errors.push_back("port " + std::to_string(report.Port) +
                            " is in use: something already listens on it (another service, or this one running)");
    report.ExportReady = report.ImportReady = false;
  }
  if (!ParseAllowList(TParametri::GetClientAmmessi(ini_file)).Malformed.empty())
    report.ExportReady = report.ImportReady = false;
  return report;
}

int PrintConfigReport(const TConfigReport& report, std::ostream& out) {
  out << "Parameter file: " << report.IniFile
      << (report.IniFound ? "" : " (" + (report.IniKind.empty() ? std::string("not found") : report.IniKind) + ")")
      << "\n";
  std::size_t width = 0;
  for (const TSettingInForce& s : report.Settings) width = std::max(width, s.Key.size());
  for (const TSettingInForce& s : report.Settings) {
    out << "  " << s.Key << std::string(width - s.Key.size(), ' ') << " = " << s.Value << "  ("
        << (s.FromFile ? "file" : "default") << (s.Note.empty() ? "" : ": " + s.Note) << ")\n";
  }
  if (report.Errors.empty() && report.Warnings.empty()) {
    out << "No problems found.\n";
  } else {
    out << "Problems:\n";
    for (const std::string& e : report.Errors) out << "  error: " << e << "\n";
    for (const std::string& w : report.Warnings) out << "  warning: " << w << "\n";
  }
  out << "Export: " << (report.ExportReady ? "could run" : "could not run") << "\n";
  out << "Import: " << (report.ImportReady ? "could run" : "could not run") << "\n";
  return report.ExportReady && report.ImportReady ? 0 : 1;
}

void LogSettingsInForce() {
  const TConfigReport report = CheckConfiguration(TParametri::GetIniFile(), false);
  logging::FrameworkLogInfo("Parameter file: " + report.IniFile + (report.IniFound ? "" : " (not found: defaults)"));
  for (const TSettingInForce& s : report.Settings)
    logging::FrameworkLogInfo("Setting " + s.Key + "=" + s.Value + " (" + (s.FromFile ? "file" : "default") +
                              (s.Note.empty() ? "" : ": " + s.Note) + ")");
  for (const std::string& w : report.Warnings) logging::FrameworkLogWarn("Parameter file: " + w);
  // Malformed ClientAmmessi entries are the caller gate's to report.
  for (const std::string& e : report.Errors)
    if (!e.starts_with("ClientAmmessi")) logging::FrameworkLogWarn("Parameter file: " + e);
}

}  // namespace ostrivan::host
