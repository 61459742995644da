#pragma once
// In-memory web request and response for driving the engine without sockets.
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "http/web_module.h"
#include "http/web_request.h"

namespace ostrivan::web::testing {

class FakeWebRequest : public http::TWebRequest {
 public:
  FakeWebRequest(std::string method, std::string path, std::string body = "");

  std::string method;
  std::string path;
  std::string query;
  std::string body;
  std::string remote_ip = "127.0.0.1";
  std::vector<std::pair<std::string, std::string>> headers;  // first match wins, names case-insensitive
  // When set, ContentLength reports this instead of the body size.
  long long forced_content_length = -2;

  FakeWebRequest& Header(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
    return *this;
  }

  std::string GetStringVariable(int index) override;
  int64_t GetIntegerVariable(int index) override;
  std::string Content() override { return body; }
  std::string RawContent() override { return body.empty() ? query : body; }
  std::string GetFieldByName(const std::string& name) override;
  std::string RemoteIP() override { return remote_ip; }
  std::string RawPathInfo() override { return path; }
  int ReadClient(void*, int) override { return 0; }
  std::string ReadString(int) override { return {}; }
  int WriteClient(const void*, int count) override { return count; }
  bool WriteString(const std::string&) override { return true; }
  bool WriteHeaders(int, const std::string&, const std::string&) override { return true; }
  std::stop_token StopToken() override { return stop_token; }

  std::stop_token stop_token;  // never requested unless a test gives one
};

// What SendResponse saw, in the order the HTTP layer would write it.
struct SentReply {
  int status = 0;
  std::string reason;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> custom_headers;
  bool has_date = false;
};

class FakeWebResponse : public http::TWebResponse {
 public:
  explicit FakeWebResponse(http::TWebRequest* request) : TWebResponse(request) {}

  std::string GetStringVariable(int index) override;
  void SetStringVariable(int index, const std::string& value) override;
  http::TDateTime GetDateVariable(int index) override { return index == http::kRespDate ? date_ : -1; }
  void SetDateVariable(int index, http::TDateTime value) override {
    if (index == http::kRespDate) date_ = value;
  }
  int64_t GetIntegerVariable(int) override { return content_length_; }
  void SetIntegerVariable(int, int64_t value) override { content_length_ = value; }
  int StatusCode() override { return status_; }
  void SetStatusCode(int code) override;
  std::string Content() override { return content_; }
  void SetContent(const std::string& text) override {
    content_ = text;
    content_length_ = static_cast<int64_t>(text.size());
  }
  void SetContentStream(std::unique_ptr<http::TStream> stream) override;
  void SetContentStreamRef(http::TStream* stream) override { content_stream_.Borrow(stream); }
  void SendResponse() override;
  void SendRedirect(const std::string&) override { sent_ = true; }
  void SendStream(http::TStream&) override {}
  bool Sent() override { return sent_; }

  int send_count = 0;
  SentReply sent;
  // Called inside SendResponse, so tests can check what still exists at that moment.
  std::function<void()> on_send;

 private:
  int status_ = 200;
  std::string reason_ = "OK";
  std::string content_type_;
  std::string content_;
  int64_t content_length_ = 0;
  http::TDateTime date_ = -1;
  bool sent_ = false;
};

// A module whose dispatch the tests run like the bridge does.
class FakeModule : public http::TWebModule {};

// The bridge's part: dispatch, then send when handled and not yet sent.
bool Serve(http::TWebModule& module, FakeWebRequest& request, FakeWebResponse& response);

}  // namespace ostrivan::web::testing
