#include <malloc.h>

#include "host/console_host.h"

int main() {
  // Request bodies and job payloads are megabytes each and come and go with requests.
  // A fixed threshold keeps every such block mapped on its own and given back to the
  // system when freed; the allocator's sliding threshold would otherwise move them into
  // its heaps, where freed memory stays with the process.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  return ostrivan::host::RunConsoleHost();
}
