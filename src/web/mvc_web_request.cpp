#include "web/mvc_web_request.h"

#include "common/text.h"
#include "web/body_encoding.h"
#include "web/content_type.h"
#include "web/mvc_exceptions.h"
#include "web/string_utils.h"

namespace ostrivan::web {

using json::TObject;

TMVCWebRequest::TMVCWebRequest(http::TWebRequest& request, const TMVCSerializers& serializers)
    : request_(request), serializers_(serializers) {
  TContentTypeParts parts = SplitContentType(request_.GetFieldByName("Content-Type"));
  content_media_type_ = parts.media_type.empty() ? "application/json" : parts.media_type;
  content_charset_ = parts.charset.empty() ? "UTF-8" : parts.charset;
  content_type_ = ComposeContentType(content_media_type_, content_charset_);
}

const std::string& TMVCWebRequest::Body() {
  if (!body_.empty()) return body_;
  TBodyEncoding encoding = FindBodyEncoding(content_charset_.empty() ? "UTF-8" : content_charset_);
  request_.ReadTotalContent();
  body_ = DecodeBody(encoding, request_.RawContentView());
  return body_;
}

namespace {

bool IsAscii(std::string_view bytes) {
  for (char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

void TMVCWebRequest::ReadBodyInto(TObject& object) {
  auto it = serializers_.find(content_media_type_);
  if (it == serializers_.end()) {
    throw EMVCDeserializationException("Body ContentType \"" + content_type_ + "\" not supported");
  }
  if (body_.empty()) {
    // ASCII bytes read the same in every 8-bit charset: the body is its own text, and a
    // large one (an import's base64) is read where it lies instead of being copied.
    TBodyEncoding encoding = FindBodyEncoding(content_charset_.empty() ? "UTF-8" : content_charset_);
    if (encoding != TBodyEncoding::kUtf16LE && encoding != TBodyEncoding::kUtf16BE) {
      request_.ReadTotalContent();
      std::string_view raw = request_.RawContentView();
      if (IsAscii(raw)) {
        it->second->DeserializeObject(raw, &object);
        return;
      }
    }
  }
  const std::string& text = Body();
  it->second->DeserializeObject(text, &object);
}

std::string TMVCWebRequest::BestAccept() {
  std::string accept = Accept();
  return accept.substr(0, accept.find(','));
}

bool TMVCWebRequest::ClientPrefer(const std::string& media_type) { return LowerCase(Accept()).starts_with(media_type); }

std::string TMVCWebRequest::ClientIp() {
  std::string value = request_.GetFieldByName("HTTP_CLIENT_IP");
  if (!value.empty()) return value;
  for (const std::string& part : SplitString(request_.GetFieldByName("HTTP_X_FORWARDED_FOR"), ',')) {
    std::string trimmed = Trim(part);
    if (!trimmed.empty()) return trimmed;
  }
  for (const char* name :
       {"HTTP_X_FORWARDED", "HTTP_X_CLUSTER_CLIENT_IP", "HTTP_FORWARDED_FOR", "HTTP_FORWARDED", "REMOTE_ADDR"}) {
    value = request_.GetFieldByName(name);
    if (!value.empty()) return value;
  }
  value = request_.RemoteIP();
  if (!value.empty()) return value;
  value = request_.RemoteAddr();
  if (!value.empty()) return value;
  return request_.RemoteHost();
}

std::string RequestSummary(TMVCWebRequest& request) {
  std::string query = request.QueryString();
  return request.HTTPMethodAsString() + " " + request.PathInfo() + (query.empty() ? "" : "?" + query);
}

}  // namespace ostrivan::web
