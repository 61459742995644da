#pragma once
// The engine's view of one reply. Everything passes through to the web response; the
// reply is sent when the wrapper is released, unless it was sent already.
#include <memory>
#include <string>

#include "http/stream.h"
#include "http/web_request.h"

namespace ostrivan::web {

class TMVCWebResponse {
 public:
  explicit TMVCWebResponse(http::TWebResponse& response) : response_(response) {}
  // Sends the reply when FlushOnDestroy; a failure while sending is swallowed.
  ~TMVCWebResponse();
  TMVCWebResponse(const TMVCWebResponse&) = delete;
  TMVCWebResponse& operator=(const TMVCWebResponse&) = delete;

  http::TWebResponse& RawWebResponse() { return response_; }

  int StatusCode() { return response_.StatusCode(); }
  void SetStatusCode(int code) { response_.SetStatusCode(code); }
  std::string ReasonString() { return response_.ReasonString(); }
  void SetReasonString(const std::string& reason) { response_.SetReasonString(reason); }
  std::string ContentType() { return response_.ContentType(); }
  // Cleared first, so no charset of an earlier value survives.
  void SetContentType(const std::string& content_type);
  std::string Content() { return response_.Content(); }
  void SetContent(const std::string& content) { response_.SetContent(content); }
  http::TNameValueList& CustomHeaders() { return response_.CustomHeaders(); }
  void SetCustomHeader(const std::string& name, const std::string& value) { response_.SetCustomHeader(name, value); }
  // The web response owns the stream from here on.
  void SetContentStream(std::unique_ptr<http::TStream> stream, const std::string& content_type);

  // Told once whether the reply reached the client (see http::TDeliveryEvent).
  void SetOnDelivered(http::TDeliveryEvent event) { response_.SetOnDelivered(std::move(event)); }

  bool FlushOnDestroy() const { return flush_on_destroy_; }
  void SetFlushOnDestroy(bool value) { flush_on_destroy_ = value; }
  // Sends the reply now unless it has been sent.
  void Flush();

 private:
  http::TWebResponse& response_;
  bool flush_on_destroy_ = true;
};

}  // namespace ostrivan::web
