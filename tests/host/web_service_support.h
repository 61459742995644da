#pragma once
// The service's own web module over scratch job folders, for the host fuzz targets:
// made once per process, its folders removed at exit. Each target feeds it connections
// from memory through bridge.
#include <string>

#include "http/http_web_bridge.h"
#include "http/web_request_handler.h"
#include "support/scratch_files.h"

namespace ostrivan::test_support {

class TFuzzService {
 public:
  // one_folder: export and import share one folder, so each job meets the other's files.
  TFuzzService(const std::string& prefix, bool one_folder = false);
  // Lays a job again once an export took it: NEWEN finds a program, ROTTLER a file.
  void RefillExport();

  TempDir scratch;
  std::string export_dir;
  std::string import_dir;
  http::THTTPWebBridgeRequestHandler handler;
  http::THTTPWebBridge bridge;
};

}  // namespace ostrivan::test_support
