#include "web/mvc_web_response.h"

#include "logging/framework_log.h"

namespace ostrivan::web {

TMVCWebResponse::~TMVCWebResponse() {
  if (!flush_on_destroy_) return;
  try {
    Flush();
  } catch (const std::exception&) {
    // The client may be gone; the request ends either way.
  } catch (...) {
    logging::FrameworkLogError("Reply not sent: a failure that is no exception");
  }
}

void TMVCWebResponse::SetContentType(const std::string& content_type) {
  response_.SetContentType("");
  response_.SetContentType(content_type);
}

void TMVCWebResponse::SetContentStream(std::unique_ptr<http::TStream> stream, const std::string& content_type) {
  SetContentType(content_type);
  response_.SetContentStream(std::move(stream));
}

void TMVCWebResponse::Flush() {
  if (!response_.Sent()) response_.SendResponse();
}

}  // namespace ostrivan::web
