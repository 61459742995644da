#pragma once
// The job controller: POST /RizOzudo/ExportLavoro and POST /RizOzudo/ImportLavoro.
#include "web/mvc_controller.h"

namespace ostrivan::jobs {

class TRizOzudoController : public web::TMVCController {
 public:
  static const web::TMVCControllerClass& ClassInfo();

  void ExportLavoro();
  void ImportLavoro();
};

}  // namespace ostrivan::jobs
