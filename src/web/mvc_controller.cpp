#include "web/mvc_controller.h"

#include "common/class_name.h"
#include "common/text.h"
#include "http/stream.h"
#include "web/content_type.h"
#include "web/engine.h"
#include "web/mvc_exceptions.h"
#include "web/string_utils.h"

namespace ostrivan::web {

using json::TObject;

const TMVCConfig& TMVCBase::Config() const { return engine_->Config(); }

std::string TMVCRenderer::ContentType() {
  std::string content_type = Trim(GetContext().Response().ContentType());
  if (content_type.empty()) {
    content_type = Config().GetValue(config_keys::kDefaultContentType);
    GetContext().Response().SetContentType(content_type);
  }
  return content_type;
}

void TMVCRenderer::SetContentType(const std::string& content_type) {
  GetContext().Response().SetContentType(content_type);
}

int TMVCRenderer::StatusCode() { return GetContext().Response().StatusCode(); }

void TMVCRenderer::SetStatusCode(int code) { GetContext().Response().SetStatusCode(code); }

void TMVCRenderer::ResponseStatus(int status_code, const std::string& reason_string) {
  SetStatusCode(status_code);
  GetContext().Response().SetReasonString(reason_string);
}

std::shared_ptr<IMVCSerializer> TMVCRenderer::Serializer(const std::string& content_type, bool raise_if_not_exists) {
  std::string media_type = SplitContentType(LowerCase(content_type)).media_type;
  const TMVCSerializers& serializers = Engine().Serializers();
  auto it = serializers.find(media_type);
  if (it != serializers.end()) return it->second;
  if (raise_if_not_exists) {
    throw EMVCException("The serializer for " + media_type + " could not be found.");
  }
  return nullptr;
}

void TMVCRenderer::Render(const TObject& object) {
  std::shared_ptr<IMVCSerializer> serializer = Serializer(ContentType(), true);
  Render(serializer->SerializeObject(&object, TMVCSerializationType::stDefault));
}

void TMVCRenderer::Render(const std::string& content) { Render(std::string(content)); }

void TMVCRenderer::Render(std::string&& content) {
  TContentTypeParts parts = SplitContentType(ContentType());
  if (parts.charset.empty()) parts.charset = "UTF-8";
  if (parts.media_type.empty()) parts.media_type = "application/json";
  // Text is UTF-8 already; the body is its bytes, without a byte-order mark.
  GetContext().Response().SetContentStream(std::make_unique<http::TMemoryStream>(std::move(content)),
                                           ComposeContentType(parts.media_type, parts.charset));
}

void TMVCRenderer::Render(const std::exception& error, const std::vector<std::string>* extra_items) {
  const std::string class_name = ExceptionClassName(error);
  const std::string message = error.what();
  const auto* mvc_error = dynamic_cast<const EMVCException*>(&error);
  // These phrases never reach the client: the status is set again last, which makes the
  // HTTP layer write its own phrase for it.
  if (mvc_error != nullptr) ResponseStatus(mvc_error->HttpErrorCode(), message + " [" + class_name + "]");
  if (StatusCode() == 200) ResponseStatus(500, message + " [" + class_name + "]");

  TMVCErrorResponse response;
  response.FStatusCode = StatusCode();
  response.FReasonString = "error";
  response.FMessage = message;
  response.FClassname = class_name;
  if (mvc_error != nullptr) {
    response.FAppErrorCode = mvc_error->ApplicationErrorCode();
    response.FDetailedMessage = mvc_error->DetailedMessage();
    for (const auto& item : mvc_error->ErrorItems()) response.AddItem(item);
  }
  if (extra_items != nullptr) {
    for (const auto& item : *extra_items) response.AddItem(item);
  }

  if (Serializer(ContentType(), false) == nullptr) {
    std::string best = GetContext().Request().BestAccept();
    SetContentType(Serializer(best, false) != nullptr ? best : Config().GetValue(config_keys::kDefaultContentType));
  }
  Render(response);
}

void TMVCRenderer::Render(const TMVCResponse& response) {
  SetStatusCode(response.FStatusCode);
  std::shared_ptr<IMVCSerializer> serializer = Serializer(ContentType(), true);
  Render(serializer->SerializeObject(&response, TMVCSerializationType::stProperties));
}

void TMVCController::ActionStarting(TWebContext& /*context*/, const std::string& /*action_name*/, bool& handled) {
  handled = false;
  if (Trim(GetContext().Response().ContentType()).empty()) {
    SetContentType(Config().GetValue(config_keys::kDefaultContentType));
  }
}

}  // namespace ostrivan::web
