#include "host/host_options.h"

#include <string_view>

namespace ostrivan::host {

THostOptions ParseHostOptions(int argc, const char* const* argv) {
  THostOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--service") {
      options.Service = true;
    } else if (arg == "--check") {
      options.Check = true;
    } else if (arg == "--help" || arg == "-h") {
      options.Help = true;
    } else if (arg == "--version") {
      options.Version = true;
    } else {
      // A mistyped option must not quietly start the console mode under a service
      // manager, where it would end at once for want of a terminal.
      options.Error = "unknown option " + std::string(arg);
      return options;
    }
  }
  return options;
}

const char* HostUsage() {
  return "Usage: Ostrivan [--service | --check | --version]\n"
         "  (no option)  console mode: serves until ESC is pressed, Ctrl-C or SIGTERM\n"
         "  --service    no console, for systemd and other service managers: serves until\n"
         "               SIGTERM or SIGINT; a start-up failure exits with status 1; tells\n"
         "               systemd when it is ready (Type=notify) and keeps its watchdog fed\n"
         "  --check      reads the parameter file as the service would, prints every key\n"
         "               with the value in force and its source, then every problem; exits\n"
         "               0 when both jobs could run, else 1. Binds and changes nothing.\n"
         "  --version    prints the version\n"
         "ParametrOstrivan.ini and logs/ lie beside the executable.\n";
}

}  // namespace ostrivan::host
