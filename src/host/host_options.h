#pragma once
// Command line of the service executable: none for the console, --service under a
// service manager, --check to read the parameter file and report on it, --version.
#include <string>

namespace ostrivan::host {

struct THostOptions {
  bool Service = false;  // --service: no console, stopped by SIGTERM or SIGINT only
  bool Check = false;    // --check: report the settings in force and their problems, then end
  bool Help = false;     // --help / -h
  bool Version = false;  // --version
  std::string Error;     // non-empty: the command line was not understood
};

THostOptions ParseHostOptions(int argc, const char* const* argv);

// The text --help prints and a usage error follows with.
const char* HostUsage();

}  // namespace ostrivan::host
