#include <cstdio>

#include "host/console_host.h"
#include "host/host_options.h"

int main(int argc, char** argv) {
  const auto options = ostrivan::host::ParseHostOptions(argc, argv);
  if (!options.Error.empty()) {
    std::fprintf(stderr, "Ostrivan: %s\n%s", options.Error.c_str(), ostrivan::host::HostUsage());
    return 2;
  }
  if (options.Help) {
    std::fputs(ostrivan::host::HostUsage(), stdout);
    return 0;
  }
  return ostrivan::host::RunConsoleHost(options.Service);
}
