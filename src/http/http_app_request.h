#pragma once
// The web request and web response over the HTTP server's records of one request.
#include <memory>
#include <string>

#include "common/owned_or_borrowed.h"
#include "http/http_request_info.h"
#include "http/http_response_info.h"
#include "http/io_handler.h"
#include "http/web_request.h"

namespace ostrivan::http {

class THTTPAppRequest : public TWebRequest {
 public:
  THTTPAppRequest(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  ~THTTPAppRequest() override;

  std::string GetStringVariable(int index) override;
  std::string Content() override;
  std::string RawContent() override;
  std::string_view RawContentView() override;
  std::string GetFieldByName(const std::string& name) override;
  std::string RemoteIP() override { return request_.remote_ip; }
  std::string RawPathInfo() override { return request_.uri; }
  int ReadClient(void* buffer, int count) override;
  std::string ReadString(int count) override;
  int WriteClient(const void* buffer, int count) override;
  bool WriteString(const std::string& text) override;
  bool WriteHeaders(int status_code, const std::string& reason, const std::string& headers) override;
  std::stop_token StopToken() override { return request_.stop_token; }
  bool ClientConnected() override { return connection_.Connected(); }

  THTTPRequestInfo& RequestInfo() { return request_; }

 private:
  TStream& ContentStreamRef() { return *content_.Get(); }

  TIOHandler& connection_;
  THTTPRequestInfo& request_;
  THTTPResponseInfo& response_;
  // The request's body, borrowed from the request record; for a request without a body,
  // an owned stream of its form text or query string in the 8-bit code page.
  TOwnedOrBorrowed<TStream> content_;
  std::string owned_text_;
};

class THTTPAppResponse : public TWebResponse {
 public:
  THTTPAppResponse(THTTPAppRequest& request, TIOHandler& connection, THTTPRequestInfo& request_info,
                   THTTPResponseInfo& response_info);
  // A stream still referred to by the record passes to the record, which writes and
  // frees it, so an unsent reply never points at a freed stream.
  ~THTTPAppResponse() override;

  std::string GetStringVariable(int index) override;
  void SetStringVariable(int index, const std::string& value) override;
  TDateTime GetDateVariable(int index) override;
  void SetDateVariable(int index, TDateTime value) override;
  int64_t GetIntegerVariable(int index) override;
  void SetIntegerVariable(int index, int64_t value) override;
  int StatusCode() override { return response_.ResponseNo(); }
  void SetStatusCode(int code) override { response_.SetResponseNo(code); }
  std::string Content() override { return response_.ContentText(); }
  void SetContent(const std::string& text) override;
  void SetContentStream(std::unique_ptr<TStream> stream) override;
  void SetContentStreamRef(TStream* stream) override;
  void SendResponse() override;
  void SendRedirect(const std::string& url) override;
  void SendStream(TStream& stream) override;
  bool Sent() override { return sent_; }
  // Handed to the record, which the server reports on once the reply is written.
  void SetOnDelivered(TDeliveryEvent event) override { response_.SetOnDelivered(std::move(event)); }

  THTTPResponseInfo& ResponseInfo() { return response_; }

 private:
  void CopyCookiesAndHeaders();
  void StreamChanged();

  TIOHandler& connection_;
  THTTPRequestInfo& request_info_;
  THTTPResponseInfo& response_;
  std::string last_content_type_;
  bool content_type_written_ = false;
  bool sent_ = false;
};

}  // namespace ostrivan::http
