#include "web_service_support.h"

#include <cstdint>
#include <memory>

#include "common/file_tree.h"
#include "host/app_web_module.h"
#include "jobfiles/job_files.h"
#include "jobs/job_parameters.h"

namespace ostrivan::test_support {

TFuzzService::TFuzzService(const std::string& prefix, bool one_folder)
    : scratch(prefix),
      export_dir(scratch / (one_folder ? "jobs" : "export")),
      import_dir(one_folder ? export_dir : scratch / "import") {
  MakeDirectories(export_dir);
  MakeDirectories(import_dir);
  MakeDirectories(scratch / "store");
  jobfiles::SetJobStoreDirectory(scratch / "store");
  const std::string exports = export_dir, imports = import_dir;
  const jobs::TJobParameters parameters{[exports] { return exports; }, [imports] { return imports; },
                                        [] { return std::int32_t{3}; },
                                        [] { return jobfiles::kDefaultWriterSettleSeconds; }};
  handler.SetMaxConnections(0);
  handler.SetWebModuleClass(
      [parameters] { return std::unique_ptr<http::TWebModule>(std::make_unique<host::TAppWebModule>(parameters)); });
  bridge.SetRequestHandler(&handler);
  host::ApplyAppRequestLimits(bridge);
}

void TFuzzService::RefillExport() {
  if (!Names(export_dir).empty()) return;
  WriteFile(export_dir + "/programs/P1.NC", "G0 X0\r\nM30\r\n");
  WriteFile(export_dir + "/R1.NC", "G1 X5\r\n");
}

}  // namespace ostrivan::test_support
