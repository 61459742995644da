#include "engine_support.h"

#include "common/text.h"
#include "web/string_utils.h"

namespace ostrivan::web::testing {

FakeWebRequest::FakeWebRequest(std::string m, std::string p, std::string b)
    : method(std::move(m)), path(std::move(p)), body(std::move(b)) {}

std::string FakeWebRequest::GetFieldByName(const std::string& name) {
  for (const auto& [n, v] : headers) {
    if (SameText(n, name)) return v;
  }
  return {};
}

std::string FakeWebRequest::GetStringVariable(int index) {
  switch (index) {
    case http::kReqMethod: return method;
    case http::kReqQuery: return query;
    case http::kReqPathInfo: return path;
    case http::kReqAccept: return GetFieldByName("Accept");
    case http::kReqContentType: {
      // Like the HTTP layer: the header without its charset parameter.
      std::string value = GetFieldByName("Content-Type");
      auto pos = LowerCase(value).find("charset");
      if (pos == std::string::npos) return value;
      std::string head = value.substr(0, pos);
      while (!head.empty() && (head.back() == ' ' || head.back() == ';')) head.pop_back();
      return head;
    }
    case http::kReqRemoteAddr: return remote_ip;
    default: return {};
  }
}

int64_t FakeWebRequest::GetIntegerVariable(int index) {
  if (index == http::kReqContentLength) {
    if (forced_content_length != -2) return forced_content_length;
    return static_cast<int64_t>(RawContent().size());
  }
  return -1;
}

std::string FakeWebResponse::GetStringVariable(int index) {
  if (index == http::kRespReasonString) return reason_;
  if (index == http::kRespContentType) return content_type_;
  return {};
}

void FakeWebResponse::SetStringVariable(int index, const std::string& value) {
  if (index == http::kRespReasonString) reason_ = value;
  if (index == http::kRespContentType) content_type_ = value;
}

void FakeWebResponse::SetStatusCode(int code) {
  status_ = code;
  static const std::map<int, std::string> kReasons = {{200, "OK"},
                                                      {400, "Bad Request"},
                                                      {403, "Forbidden"},
                                                      {404, "Not Found"},
                                                      {413, "Request Entity Too Long"},
                                                      {500, "Internal Server Error"}};
  auto it = kReasons.find(code);
  reason_ = it == kReasons.end() ? "Unknown" : it->second;
}

void FakeWebResponse::SetContentStream(std::unique_ptr<http::TStream> stream) {
  content_stream_.Own(std::move(stream));
  content_length_ = ContentStream() != nullptr ? ContentStream()->Size() : static_cast<int64_t>(content_.size());
}

void FakeWebResponse::SendResponse() {
  ++send_count;
  sent_ = true;
  sent.status = status_;
  sent.reason = reason_;
  sent.content_type = content_type_;
  sent.body = ContentStream() != nullptr ? ContentStream()->AllBytes() : content_;
  sent.custom_headers.clear();
  for (size_t i = 0; i < custom_headers_.Count(); ++i) {
    sent.custom_headers.emplace_back(custom_headers_.Name(i), custom_headers_.ValueFromIndex(i));
  }
  sent.has_date = date_ != -1;
  if (on_send) on_send();
}

bool Serve(http::TWebModule& module, FakeWebRequest& request, FakeWebResponse& response) {
  bool handled = false;
  if (module.BeforeDispatch()) module.BeforeDispatch()(module, request, response, handled);
  if (!handled) handled = response.Sent();
  if (handled && !response.Sent()) response.SendResponse();
  return handled;
}

}  // namespace ostrivan::web::testing
