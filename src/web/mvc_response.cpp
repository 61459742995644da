#include "web/mvc_response.h"

namespace ostrivan::web {

using json::MVCProperty;
using json::TMVCClassInfo;
using json::TMVCNameCase;

TMVCResponse::TMVCResponse(std::int32_t status_code, std::string reason_string, std::string message)
    : FStatusCode(status_code), FReasonString(std::move(reason_string)), FMessage(std::move(message)) {}

const TMVCClassInfo& TMVCResponse::StaticClassInfo() {
  static const TMVCClassInfo info = TMVCClassInfo::Make<TMVCResponse>(
      "TMVCResponse", nullptr,
      {MVCProperty("StatusCode", &TMVCResponse::FStatusCode), MVCProperty("ReasonString", &TMVCResponse::FReasonString),
       MVCProperty("Message", &TMVCResponse::FMessage), MVCProperty("Data", &TMVCResponse::FData)},
      TMVCNameCase::ncLowerCase);
  return info;
}

const TMVCClassInfo& TMVCErrorResponseItem::StaticClassInfo() {
  static const TMVCClassInfo info = TMVCClassInfo::Make<TMVCErrorResponseItem>(
      "TMVCErrorResponseItem", nullptr, {MVCProperty("message", &TMVCErrorResponseItem::Fmessage)},
      TMVCNameCase::ncLowerCase);
  return info;
}

const TMVCClassInfo& TMVCErrorResponse::StaticClassInfo() {
  static const TMVCClassInfo info = TMVCClassInfo::Make<TMVCErrorResponse>(
      "TMVCErrorResponse", &TMVCResponse::StaticClassInfo(),
      {MVCProperty("Classname", &TMVCErrorResponse::FClassname),
       MVCProperty("DetailedMessage", &TMVCErrorResponse::FDetailedMessage),
       MVCProperty("AppErrorCode", &TMVCErrorResponse::FAppErrorCode),
       MVCProperty("Items", &TMVCErrorResponse::FItems).ListOf(TMVCErrorResponseItem::StaticClassInfo())},
      TMVCNameCase::ncLowerCase);
  return info;
}

void TMVCErrorResponse::AddItem(std::string message) {
  FItems->Add(std::make_unique<TMVCErrorResponseItem>(std::move(message)));
}

}  // namespace ostrivan::web
