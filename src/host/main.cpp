#include <malloc.h>

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
  // Request bodies and job payloads are megabytes each and come and go with requests.
  // A fixed threshold keeps every such block mapped on its own and given back to the
  // system when freed; the allocator's sliding threshold would otherwise move them into
  // its heaps, where freed memory stays with the process.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  return ostrivan::host::RunConsoleHost(options.Service);
}
