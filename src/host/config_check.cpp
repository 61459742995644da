#include "host/config_check.h"

#include <ostream>
#include <tuple>

#include "common/text.h"
#include "host/allow_list.h"
#include "host/operator_routes.h"
#include "host/parametri.h"
#include "host/readiness.h"
#include "logging/framework_log.h"
#include "platform/file_system.h"
#include "platform/net.h"

namespace ostrivan::host {

namespace {

constexpr const char* kConfigSection = "CONFIG";
constexpr const char* kKnownKeys[] = {"Porta",          "ExportLavoroDir", "ImportLavoroDir",
                                      "Nr_Macchina",    "ClientAmmessi",   "AttesaScrittura",
                                      "AttesaConferma", "TenutiNumero",    "TenutiMB"};

const std::pair<std::string, std::string>* FindKey(const std::vector<std::pair<std::string, std::string>>& keys,
                                                   const std::string& name) {
  for (const auto& key : keys)
    if (SameText(key.first, name)) return &key;
  return nullptr;
}

}  // namespace

bool PortInUse(std::uint16_t port) {
  if (port == 0) return false;  // any free port is taken
  return platform::PortListening(port);
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
    const TSettingRead<std::uint16_t> porta = TParametri::ReadPorta(ini_file);
    const std::uint16_t port = porta.Value;
    if (porta.Given && !porta.FromFile)
      report.Warnings.push_back("Porta \"" + porta.Written + "\" is not a number: the default " +
                                std::to_string(TParametri::kDefaultPorta) + " is used");
    if (porta.FromFile) {
      const std::int32_t number = ParseInteger(porta.Written).value_or(port);
      // Taken as written, such a value listens where nobody expects the service.
      port_problem = number != port || port == 0;
      if (number != port)
        report.Errors.push_back("Porta " + porta.Written + " is out of range: it becomes port " + std::to_string(port) +
                                " (its low 16 bits)" +
                                (port == 0 ? ", which listens on a random port, another one for IPv4 and IPv6" : ""));
      else if (port == 0)
        report.Errors.push_back(
            "Porta 0 names no port: the service would listen on a random port, another one "
            "for IPv4 and IPv6");
    }
    report.Port = port;
    report.Settings.push_back({"Porta", std::to_string(port), porta.FromFile, porta.Note});
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
      std::string cwd;
      if (platform::Files().TryCurrentFolder(cwd))
        note = "resolved from the current folder: " + cwd + (cwd == "/" ? "" : "/") + value;
    }
    report.Settings.push_back({name, value, key != nullptr, note});
  }
  // Nr_Macchina
  {
    const TSettingRead<std::int32_t> machine = TParametri::ReadNrMacchina(ini_file);
    if (machine.Given && !machine.FromFile)
      report.Warnings.push_back("Nr_Macchina \"" + machine.Written + "\" is not a number: the default " +
                                std::to_string(TParametri::kDefaultNrMacchina) + " is used");
    report.Settings.push_back({"Nr_Macchina", std::to_string(machine.Value), machine.FromFile, machine.Note});
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
