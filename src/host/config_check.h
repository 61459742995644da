#pragma once
// What the parameter file says, read as the service reads it: every key with the value
// in force and where it came from, and every problem that would keep a job from running
// (Ostrivan --check). Reading only: nothing is bound, created or changed.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace ostrivan::host {

struct TSettingInForce {
  std::string Key;
  std::string Value;      // as the service uses it
  bool FromFile = false;  // false: the default
  std::string Note;       // what the default or the value means, when it needs saying
};

struct TConfigReport {
  std::string IniFile;
  bool IniFound = false;
  std::string IniKind;  // what stands at IniFile when it is there but no file: "a folder, not a file"
  std::vector<TSettingInForce> Settings;
  std::vector<std::string> Warnings;  // the service runs, perhaps not as meant
  std::vector<std::string> Errors;    // a job could not run
  bool ExportReady = false;
  bool ImportReady = false;
  std::uint16_t Port = 0;
};

// check_port: also look whether something listens on the port already.
TConfigReport CheckConfiguration(const std::string& ini_file, bool check_port);

// Prints the report; returns the exit status of --check: 0 when both jobs could run.
int PrintConfigReport(const TConfigReport& report, std::ostream& out);

// Writes the parameter file's path and the values in force to the main log.
void LogSettingsInForce();

// Something listens on the port (TCP, any local address), seen from /proc and a
// connection attempt on loopback; nothing is bound.
bool PortInUse(std::uint16_t port);

}  // namespace ostrivan::host
