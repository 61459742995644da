#include <malloc.h>

#include <cstdio>
#include <iostream>

#include "host/config_check.h"
#include "host/console_host.h"
#include "host/host_options.h"
#include "host/parametri.h"

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
  if (options.Version) {
    std::printf("Ostrivan %s\n", OSTRIVAN_VERSION);
    return 0;
  }
  if (options.Check) {
    const auto report = ostrivan::host::CheckConfiguration(ostrivan::host::TParametri::GetIniFile(), true);
    return ostrivan::host::PrintConfigReport(report, std::cout);
  }
  // Request bodies, archives and payloads are megabytes each and come and go with every
  // request. On a virtual machine the first touch of each fresh page is a fault that
  // costs more than the work done in it, so freed blocks stay with the process for the
  // next request instead of being mapped afresh each time: no separate mapping below
  // 32 MiB, and up to 64 MiB of free room kept. One heap for all threads keeps what is
  // kept to what was in use at once (a heap per thread each kept its own high mark:
  // 100 concurrent maximum-size imports peaked at 429 MiB instead of 137 MiB).
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  return ostrivan::host::RunConsoleHost(options.Service);
}
