#include "jobs/riz_ozudo_controller.h"

#include "jobs/riz_ozudo_messages.h"

namespace ostrivan::jobs {

using namespace ostrivan::web;

const TMVCControllerClass& TRizOzudoController::ClassInfo() {
  static const TMVCControllerClass info{
      "RizOzudo.Controller",
      "TRizOzudoController",
      {MVCPath("/RizOzudo")},
      {
          {"ExportLavoro",
           {MVCPath("/ExportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           [](TMVCController& c) { static_cast<TRizOzudoController&>(c).ExportLavoro(); }},
          {"ImportLavoro",
           {MVCPath("/ImportLavoro"), MVCHTTPMethods({httpPOST}), MVCProduces("application/json", "UTF-8")},
           [](TMVCController& c) { static_cast<TRizOzudoController&>(c).ImportLavoro(); }},
      },
      nullptr,
      [] { return std::unique_ptr<TMVCController>(std::make_unique<TRizOzudoController>()); }};
  return info;
}

// Until the job work lands, the actions read the request body (so body failures reach
// the client as they will later) and answer with an empty reply object.
void TRizOzudoController::ExportLavoro() {
  auto request = GetContext().Request().ReadBodyObject<TRizOzudoExportLavoroRequest>();
  Render(std::make_unique<TRizOzudoExportLavoroResponse>());
}

void TRizOzudoController::ImportLavoro() {
  auto request = GetContext().Request().ReadBodyObject<TRizOzudoImportLavoroRequest>();
  Render(std::make_unique<TRizOzudoImportLavoroResponse>());
}

}  // namespace ostrivan::jobs
